// The Cache type: its record, its type object and the internal function table.
#pragma once

#include <Python.h>

#include "quorcache.h"
#include "ref.hpp"

namespace quorcache {

using CacheObject = QuorCacheObject;

extern PyTypeObject cache_type;
extern QuorCacheFunctions cache_functions;

// Fills the internal function table; the execution step calls it before readying the type.
void fill_cache_functions();

// Entry k of a slot list, or nullptr with IndexError set: the one bounds check
// that every slot access goes through.
PyObject** entry_at(PyObject* list, Py_ssize_t k);

// Installs a pickle state (a tuple of at least one item) on `result`; 0, or -1
// with the exception set.
int set_state(CacheObject* result, PyObject* state);

// The methods that live with the pickle support.
PyObject* cache___reduce__(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* cache___setstate__(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
// The module-level function __pyx_unpickle_Cache.
extern PyMethodDef unpickle_def;

}  // namespace quorcache
