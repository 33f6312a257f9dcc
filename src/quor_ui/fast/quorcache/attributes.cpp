// Attribute lookup: `cache.NAME`, `Cache.__getattr__`, the lookup a subclass may
// need, and the hook installation.
//
// What the hook swap buys: `Cache`'s tp_getattro is, after import, the
// interpreter's own hook for classes with __getattr__ (probed, internals.hpp), not
// the module's. Only under that hook (or the plain generic lookup) does the
// interpreter specialise `cache.get(k)` into a method load without a bound method
// and a direct call of the method descriptor: about a fifth of the instructions.
// What it costs: `Cache.__getattribute__` is object's, so an explicit
// `c.__getattribute__('A')` does not read members (only `c.A`, getattr, hasattr
// do); and a subclass whose own __getattr__ must come after the members needs a
// hook of its own (subclass_getattro), installed as its tp_getattro when it makes
// an instance, under which its method loads make bound methods again. Every other
// subclass keeps the interpreter's hook. README, "Attribute lookup", lists what
// subclasses see.
#include "attributes.hpp"

#include "binding.hpp"
#include "cache.hpp"
#include "constants.hpp"
#include "errors.hpp"
#include "internals.hpp"
#include "keys.hpp"
#include "remembered.hpp"

namespace quorcache {

namespace {

// Set at import (install_attribute_hook) and kept for the life of the process.
getattrofunc interpreter_hook;  // the interpreter's hook for classes with __getattr__
PyObject* object_getattribute;  // object.__getattribute__, owned

CacheObject*
as_cache(PyObject* op)
{
    return reinterpret_cast<CacheObject*>(op);
}

// The slot of member `name` of CacheType, read from self's slot list. `absent`
// non-null: a name that is no member leaves *absent true and nothing raised,
// instead of the AttributeError.
PyObject*
read_member(CacheObject* self, PyObject* name, bool* absent = nullptr)
{
    MemberName found = find_member_name(name);
    if (found.found < 0) {
        return nullptr;
    }
    if (!found.found) {
        if (absent != nullptr) {
            *absent = true;
            return nullptr;
        }
        // The bare name is the exception's only argument; name and obj stay unset.
        raise_with_arg(PyExc_AttributeError, name);
        return nullptr;
    }
    Ref arr = Ref::borrow(self->cache_arr);
    if (arr.get() == Py_None) {
        raise_no_slots();
        return nullptr;
    }
    bool from_memory = false;
    Ref enum_type = lookup_global(names.CacheType, &from_memory);  // `in` above may have run code
    if (!enum_type) {
        return nullptr;
    }
    Ref member = found.still_current(enum_type.get(), from_memory)
                     ? std::move(found.member)
                     : Ref::steal(member_named(enum_type.get(), name));
    return member ? read_entry(arr.get(), member.get()) : nullptr;
}

}  // namespace

PyObject*
cache___getattr__(PyObject* op, PyObject* name)
{
    if (name != Py_None && !PyUnicode_CheckExact(name)) {
        refuse_type("type", &PyUnicode_Type, name);
        return nullptr;
    }
    PyObject* result = read_member(as_cache(op), name);
    if (result == nullptr) {
        add_traceback("Cache.__getattr__");
    }
    return result;
}

// The attribute lookup with the AttributeError of a missing name reported as 0 and
// nothing raised; when the name is neither the type's nor a member of an exact
// Cache, that error is never made. 1 with *out a new reference, or -1.
int
cache_lookup_attr(PyObject* op, PyObject* name, PyObject** out)
{
    *out = nullptr;
    if (SHORTCUTS && Py_IS_TYPE(op, &cache_type) && PyUnicode_CheckExact(name)
        && type_lookup(&cache_type, name) == nullptr) {
        bool absent = false;
        *out = read_member(as_cache(op), name, &absent);
        if (*out != nullptr) {
            return 1;
        }
        if (absent) {
            return 0;
        }
        add_traceback("Cache.__getattr__");
    }
    else {
        *out = PyObject_GetAttr(op, name);
        if (*out != nullptr) {
            return 1;
        }
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// Cache's own attribute lookup, kept where the interpreter's hook is not taken (an
// unlisted version, or QUORCACHE_NO_SHORTCUTS) or can't be had: attributes first,
// then a member name.
PyObject*
cache_getattro(PyObject* op, PyObject* name)
{
    // An exact Cache has no instance dictionary, so the generic lookup comes down
    // to what its type has: bind that here, and for a name the type doesn't have
    // skip raising and clearing the AttributeError the generic lookup would.
    if (SHORTCUTS && Py_IS_TYPE(op, &cache_type) && PyUnicode_CheckExact(name)) {
        PyObject* found = type_lookup(&cache_type, name);
        if (found == nullptr) {
            return cache___getattr__(op, name);
        }
        descrgetfunc get = Py_TYPE(found)->tp_descr_get;
        if (get == nullptr) {
            return Py_NewRef(found);
        }
        Ref held = Ref::borrow(found);
        PyObject* bound = get(found, op, reinterpret_cast<PyObject*>(&cache_type));
        if (bound != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return bound;
        }
        PyErr_Clear();
        return cache___getattr__(op, name);
    }
    // The generic lookup, a missing name reported as a null result with nothing
    // raised, as the interpreter's own hook asks it.
    PyObject* found = generic_getattr_or_null(op, name);
    if (found != nullptr || PyErr_Occurred()) {
        return found;
    }
    return cache___getattr__(op, name);
}

namespace {

// attr(op, name) for a class attribute `attr` found on type(op)'s MRO, called as
// the interpreter calls __getattribute__ and __getattr__: bound through its
// descriptor get, without a bound method for a plain function.
PyObject*
call_attribute_hook(PyObject* attr, PyObject* op, PyObject* name)
{
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (get == nullptr) {
        return PyObject_CallOneArg(attr, name);
    }
    if (PyFunction_Check(attr)) {
        PyObject* args[] = {op, name};
        return PyObject_Vectorcall(attr, args, 2, nullptr);
    }
    Ref bound = Ref::steal(get(attr, op, reinterpret_cast<PyObject*>(Py_TYPE(op))));
    return bound ? PyObject_CallOneArg(bound.get(), name) : nullptr;
}

// The attribute hook of a subclass whose own __getattr__ (stated by a class before
// Cache in its MRO) must come after the members: what the interpreter's hook does
// (the class's __getattribute__ as found on its MRO, object's through the generic
// lookup without raising), then the slot of a member of that name, then the
// class's own __getattr__.
PyObject*
subclass_getattro(PyObject* op, PyObject* name)
{
    PyTypeObject* type = Py_TYPE(op);
    Ref getattribute = Ref::borrow(type_lookup(type, names.__getattribute__));
    if (!getattribute || getattribute.get() == object_getattribute) {
        PyObject* found = generic_getattr_or_null(op, name);
        if (found != nullptr || PyErr_Occurred()) {
            return found;
        }
    }
    else {
        PyObject* found = call_attribute_hook(getattribute.get(), op, name);
        if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return found;
        }
        PyErr_Clear();
    }
    if (name != Py_None && !PyUnicode_CheckExact(name)) {
        return cache___getattr__(op, name);  // refuses it, as Cache.__getattr__ does
    }
    bool absent = false;
    PyObject* member = read_member(as_cache(op), name, &absent);
    if (member != nullptr || !absent) {
        if (member == nullptr) {
            add_traceback("Cache.__getattr__");
        }
        return member;
    }
    Ref getattr = Ref::borrow(type_lookup(type, names.__getattr__));
    if (!getattr
        || PyDict_GetItemWithError(cache_type.tp_dict, names.__getattr__) == getattr.get()) {
        // Not ours to have come here: the interpreter resets the hook when
        // __getattr__ goes, but fail as Cache.__getattr__ would.
        if (!PyErr_Occurred()) {
            raise_with_arg(PyExc_AttributeError, name);
        }
        return nullptr;
    }
    return call_attribute_hook(getattr.get(), op, name);
}

}  // namespace

int
install_member_lookup_where_needed(PyTypeObject* type)
{
    if (interpreter_hook == nullptr || type->tp_getattro != interpreter_hook
        || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE)
        || remembered.plain_subclass.holds_for(type)) {
        return 0;  // ours already, a hook someone else chose, or known not to need it
    }
    Ref mro = Ref::borrow(type->tp_mro);  // held: a look-up below may run a key's __eq__
    bool needed = false;
    for (Py_ssize_t i = 0; mro && !needed && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        if (base == &cache_type) {
            break;
        }
        Ref dict = Ref::steal(PyType_GetDict(base));
        int own = dict ? PyDict_Contains(dict.get(), names.__getattr__) : -1;
        if (own < 0) {
            return -1;
        }
        needed = own == 1;
    }
    if (!needed) {
        remembered.plain_subclass.remember(type);
        return 0;
    }
    // The interpreter writes tp_getattro again itself when __getattr__ or
    // __getattribute__ is assigned on the class or a base; the next instance then
    // decides again. The new tag drops what was specialised under the old hook.
    type->tp_getattro = subclass_getattro;
    PyType_Modified(type);
    return 0;
}

int
install_attribute_hook()
{
    if (interpreter_hook != nullptr) {
        return 0;  // a retried import: done by the first one
    }
    // The interpreter's own hook for classes with __getattr__: the generic lookup,
    // asked without raising when __getattribute__ is object's, then
    // type(self).__getattr__ called through the method descriptor's vectorcall,
    // with no bound method. Only under it (or the generic lookup) does the
    // interpreter load methods without a bound method (internals.hpp). Subclasses
    // get it from the interpreter in every build, so every build removes Cache's
    // __getattribute__ and installs the member lookup where subclasses need it;
    // only with SHORTCUTS does Cache itself take the hook.
    getattrofunc hook = probe_getattr_hook();
    if (hook == nullptr || hook == cache_getattro) {
        // Not an interpreter we know: keep our own hook, with bound methods.
        return PyErr_Occurred() ? -1 : 0;
    }
    Ref object_get = Ref::borrow(type_lookup(&PyBaseObject_Type, names.__getattribute__));
    Ref wrapper = Ref::borrow(PyDict_GetItemWithError(cache_type.tp_dict, names.__getattribute__));
    if (!object_get || !wrapper) {
        return PyErr_Occurred() ? -1 : 0;
    }
    // With it gone, Cache.__getattribute__ is object's, which is what the
    // specializer (by identity) and the hook (to use the generic lookup) look for.
    if (PyDict_DelItem(cache_type.tp_dict, names.__getattribute__) < 0) {
        return -1;
    }
    if (SHORTCUTS) {
        cache_type.tp_getattro = hook;
    }
    PyType_Modified(&cache_type);
    object_getattribute = object_get.release();  // for good
    interpreter_hook = hook;
    return 0;
}

}  // namespace quorcache
