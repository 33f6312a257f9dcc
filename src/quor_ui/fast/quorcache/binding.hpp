// The argument binder shared by every fast-call method, and the integer
// conversions that key resolution and unpickling use.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ref.hpp"

namespace quorcache {

// A method's parameters: the addresses of their interned names (made at import),
// how many there are, and how many of them are required. Either all are required
// (an exact method) or none is (defaults None).
struct Signature {
    const char* name;
    PyObject* const* const* params;
    Py_ssize_t total;
    Py_ssize_t required;
};

// The general binder, for keywords and wrong counts.
int bind_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 Ref* cells);

// Fills cells[0..total) with new references; optional parameters not given get
// None. 0, or -1 with the TypeError set. Every parameter given by position, the
// common case, is bound here without a call.
inline int
bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Ref* cells)
{
    if (kwnames == nullptr && nargs == sig.total) {
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            cells[i] = Ref::borrow(args[i]);
        }
        return 0;
    }
    return bind_general(sig, args, nargs, kwnames, cells);
}
// For a method without parameters: any positional argument, then any keyword, is refused.
int bind_none(const char* name, Py_ssize_t nargs, PyObject* kwnames);
// The refusal of a keyword that names no parameter.
void raise_unexpected_keyword(const char* name, PyObject* key);

// TypeError "Argument '%.200s' must not be None"; always -1.
int refuse_none(const char* param);
// TypeError "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"; always -1.
int refuse_type(const char* param, PyTypeObject* expected, PyObject* got);

// 0 and *out, or -1 with an exception set.
int to_int32(PyObject* obj, std::int32_t* out);
int to_int64(PyObject* obj, std::int64_t* out);

}  // namespace quorcache
