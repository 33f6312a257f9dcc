#include "errors.hpp"

#include <cstdio>
#include <cstring>

#include "constants.hpp"

namespace quorcache {

namespace {

const char*
basename(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

void
add_traceback_raw(const char* fullname, std::source_location where)
{
    _PyTraceback_Add(fullname, basename(where.file_name()), static_cast<int>(where.line()));
}

void
add_traceback(const char* qualname, std::source_location where)
{
    char fullname[160];
    std::snprintf(fullname, sizeof fullname, "%s.%s", MODULE_NAME, qualname);
    add_traceback_raw(fullname, where);
}

void
raise_no_slots()
{
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
}

void
raise_bad_index(Py_ssize_t index)
{
    PyErr_Format(PyExc_IndexError, "Cache slot index %zd is out of range", index);
}

void
raise_with_arg(PyObject* type, PyObject* arg)
{
    PyObject* exc = PyObject_CallOneArg(type, arg);
    if (exc != nullptr) {
        PyErr_SetObject(type, exc);
        Py_DECREF(exc);
    }
}

void
raise_expected(const char* expected, PyObject* got)
{
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", expected, Py_TYPE(got)->tp_name);
}

}  // namespace quorcache
