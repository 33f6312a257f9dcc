#include "errors.hpp"

#include <frameobject.h>

#include <cstdio>
#include <cstring>

#include "constants.hpp"
#include "ref.hpp"

namespace quorcache {

namespace {

const char*
basename(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

// The entry is a frame of an empty code object named `fullname` whose first line is
// the reporting line; a frame that never ran reports its code's first line. The frame
// gets globals of its own. Nothing here may run with the exception pending (making the
// file name can call a codec written in Python), so it is set aside meanwhile; if the
// entry can't be made, the new error is raised with the old one as its context.
void
add_traceback_raw(const char* fullname, std::source_location where)
{
    PyObject* exc = PyErr_GetRaisedException();
    Ref globals = Ref::steal(PyDict_New());
    Ref code = globals ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(
                   basename(where.file_name()), fullname, static_cast<int>(where.line()))))
                       : Ref();
    Ref frame = code ? Ref::steal(reinterpret_cast<PyObject*>(
                    PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                                globals.get(), nullptr)))
                     : Ref();
    if (!frame) {
        if (exc != nullptr) {
            PyObject* failure = PyErr_GetRaisedException();
            PyException_SetContext(failure, exc);  // steals exc
            PyErr_SetRaisedException(failure);
        }
        return;
    }
    code = Ref();  // the frame holds both
    globals = Ref();
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
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
