#include "errors.hpp"

#include <frameobject.h>

#include <cstdio>
#include <cstring>
#include <iterator>

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

// Traceback code objects, one per reporting site, made at the site's first error and
// kept: a code object is immutable, and making one at every error would intern its
// names again each time (and, under a failed allocation, grow the interpreter's
// table of interned strings a little at each error). Sites are told apart by the
// addresses of their name and file literals and by their line; a full table makes
// the code object afresh.
struct Site {
    const char* name;
    bool prefixed;  // name is a qualified name that add_traceback prefixes
    const char* file;
    unsigned line;
    PyObject* code;  // owned, for the life of the process
};
Site sites[96];
int site_count;

// The code object for a site: a new reference, or nullptr with the exception set.
PyObject*
site_code(const char* name, bool prefixed, std::source_location where)
{
    for (int i = 0; i < site_count; ++i) {
        const Site& s = sites[i];
        if (s.name == name && s.prefixed == prefixed && s.file == where.file_name()
            && s.line == where.line()) {
            return Py_NewRef(s.code);
        }
    }
    char fullname[160];
    if (prefixed) {
        std::snprintf(fullname, sizeof fullname, "%s.%s", MODULE_NAME, name);
    }
    auto* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(
        basename(where.file_name()), prefixed ? fullname : name, static_cast<int>(where.line())));
    if (code != nullptr && site_count < static_cast<int>(std::size(sites))) {
        sites[site_count++] = {name, prefixed, where.file_name(), where.line(), Py_NewRef(code)};
    }
    return code;
}

// The entry is a frame of an empty code object named after the site whose first line
// is the reporting line; a frame that never ran reports its code's first line. The
// frame gets globals of its own. Nothing here may run with the exception pending
// (making the file name can call a codec written in Python), so it is set aside
// meanwhile; if the entry can't be made, the new error is raised with the old one as
// its context.
void
add_entry(const char* name, bool prefixed, std::source_location where)
{
    PyObject* exc = PyErr_GetRaisedException();
    Ref globals = Ref::steal(PyDict_New());
    Ref code = globals ? Ref::steal(site_code(name, prefixed, where)) : Ref();
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

}  // namespace

void
add_traceback_raw(const char* fullname, std::source_location where)
{
    add_entry(fullname, false, where);
}

void
add_traceback(const char* qualname, std::source_location where)
{
    add_entry(qualname, true, where);
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
