// Attribute lookup on Cache and its subclasses (see attributes.cpp).
#pragma once

#include <Python.h>

namespace quorcache {

// Cache.__getattr__(name): the slot of the CacheType member `name`, else
// AttributeError(name).
PyObject* cache___getattr__(PyObject* op, PyObject* name);

// Cache's tp_getattro as readied: the generic lookup, then cache___getattr__.
// Replaced by the interpreter's own hook at import with SHORTCUTS.
PyObject* cache_getattro(PyObject* op, PyObject* name);

// getattr(op, name) with a missing name giving 0 and nothing raised (and, when
// cheap to know, no AttributeError made at all); 1 with *out set, or -1.
int cache_lookup_attr(PyObject* op, PyObject* name, PyObject** out);

// Once the type is ready: removes the __getattribute__ wrapper from Cache's dict
// and (with SHORTCUTS) swaps Cache's tp_getattro for the interpreter's hook, when
// the hook can be had. 0, or -1 with the exception set.
int install_attribute_hook();

// At each instance of a subclass: gives its type the member lookup as tp_getattro
// when a class before Cache states its own __getattr__ and the type still has the
// interpreter's hook; remembers a type found not to need it. 0, or -1 with the
// exception set.
int install_member_lookup_where_needed(PyTypeObject* type);

}  // namespace quorcache
