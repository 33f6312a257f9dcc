// Reading an instance attribute straight from the object's inline values, the way
// the interpreter's own specialised LOAD_ATTR_INSTANCE_VALUE does, instead of
// through the generic lookup (a type look-up, then a hash look-up in the shared
// keys: about 190 instructions against about 10).
//
// Interpreter internals relied on (CPython 3.12 to 3.15 without free threading;
// nothing here is public API, so every other build, see interpreter.hpp, gets the
// ordinary lookup from `inline_attr` = nullptr):
//  - 3.12: an instance of a type with Py_TPFLAGS_MANAGED_DICT keeps, three pointers
//    before its header, either its dict or (tagged with the low bit) a pointer one
//    byte before its values array (pycore_object.h: _PyObject_DictOrValuesPointer,
//    _PyDictOrValues_IsValues, _PyDictOrValues_GetValues);
//  - 3.13: an instance of a type with Py_TPFLAGS_INLINE_VALUES (whose basic size is
//    then a bare object header) has its values right after the header, as a
//    struct _dictvalues (pycore_dict.h: capacity, size, embedded and valid bytes,
//    then the array; pycore_object.h: _PyObject_InlineValues). They stay valid
//    while they hold the attributes, a dict made for the instance included, and
//    are marked invalid when the attributes move out to a dict's own table;
//  - 3.14, 3.15: the same struct _dictvalues, at tp_basicsize from the object
//    (pycore_object.h: _PyObject_InlineValues), where types with __slots__ may
//    have inline values too;
//  - the values array is indexed like the entries of the type's shared keys
//    (PyHeapTypeObject.ht_cached_keys; layout of struct _dictkeysobject in
//    pycore_dict.h), which only ever grow at the end and are never resized, so a
//    name's index is fixed for the life of the type and lies inside every
//    instance's values array;
//  - a deleted attribute leaves a null in its entry.
// A slot is learnt for one type while it has one version tag, and every learnt
// slot is checked against the generic lookup on the object at hand first, so a
// layout that isn't the one described here turns the shortcut off rather than
// reading a wrong object.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "interpreter.hpp"

namespace quorcache {

// Where attribute `name` lives in the inline values of instances of `type`,
// while `type` keeps the version tag `version`. Pointers are compared, never
// followed, unless the object at hand has this type with this tag: tags are
// never reused, so a type freed and another made at its address can't match.
struct InlineSlot {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    Py_ssize_t index = -1;
};

#if QUORCACHE_SHORTCUTS
inline constexpr bool HAVE_INLINE_VALUES = true;
#else
inline constexpr bool HAVE_INLINE_VALUES = false;
#endif

namespace detail {

// struct _dictkeysobject of CPython 3.12 to 3.15 (without free threading), up to
// its hash table.
struct Keys312 {
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;
    std::uint8_t dk_kind;  // 2: DICT_KEYS_SPLIT, the shared keys of a class
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[1];
};

struct UnicodeEntry312 {
    PyObject* me_key;
    PyObject* me_value;
};

#if !QUORCACHE_SHORTCUTS
inline PyObject*
value_at(PyObject*, Py_ssize_t)
{
    return nullptr;
}
#elif QUORCACHE_VERSION < 0x030D0000
// Entry `index` of the values array of `obj` (borrowed, maybe null), or nullptr
// when its dict has been made; `index` lies inside every instance's array.
inline PyObject*
value_at(PyObject* obj, Py_ssize_t index)
{
    char* dorv;
    std::memcpy(&dorv, reinterpret_cast<char*>(obj) - 3 * sizeof(PyObject*), sizeof dorv);
    if ((reinterpret_cast<std::uintptr_t>(dorv) & 1) == 0) {
        return nullptr;
    }
    return reinterpret_cast<PyObject* const*>(dorv + 1)[index];
}
#else
// struct _dictvalues of CPython 3.13 to 3.15.
struct Values313 {
    std::uint8_t capacity;
    std::uint8_t size;
    std::uint8_t embedded;
    std::uint8_t valid;
    PyObject* values[1];
};

// Entry `index` of the inline values of `obj` (borrowed, maybe null), or nullptr
// when they no longer hold its attributes.
inline PyObject*
value_at(PyObject* obj, Py_ssize_t index)
{
    PyTypeObject* type = Py_TYPE(obj);
#if QUORCACHE_VERSION < 0x030E0000
    // 3.13: right after the header, in types whose basic size is a bare header.
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES) || type->tp_basicsize != sizeof(PyObject)) {
        return nullptr;
    }
#else
    // 3.14 on: at the type's basic size.
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES)) {
        return nullptr;
    }
#endif
    auto* values = reinterpret_cast<const Values313*>(reinterpret_cast<char*>(obj) + type->tp_basicsize);
    if (!values->valid || index >= values->capacity) {
        return nullptr;
    }
    return values->values[index];
}
#endif

}  // namespace detail

// obj.name from its inline values (borrowed), when `slot` has been learnt for
// obj's type at its current version tag and the value is there; else nullptr
// and the caller does the ordinary lookup. Reads memory only: runs no code.
inline PyObject*
inline_attr(const InlineSlot& slot, PyObject* obj)
{
    if constexpr (!HAVE_INLINE_VALUES) {
        return nullptr;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (type != slot.type || type->tp_version_tag != slot.version || slot.index < 0) {
        return nullptr;
    }
    return detail::value_at(obj, slot.index);
}

// Learns where `name` lives for obj's type, at its current version tag, and
// returns true when `expected` (what the generic lookup gave for obj.name just
// before, with nothing run since) is what the inline read now gives. The type
// must be one whose attribute `name` the generic lookup takes from the instance
// (no attribute of that name on the type); the caller checks that under the same
// version tag.
inline bool
learn_inline_slot(InlineSlot& slot, PyObject* obj, PyObject* name, PyObject* expected)
{
    if constexpr (!HAVE_INLINE_VALUES) {
        return false;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)
        || type->tp_version_tag == 0
        || !PyUnicode_CheckExact(name)) {
        return false;
    }
    auto* keys = reinterpret_cast<detail::Keys312*>(
        reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
    if (keys == nullptr || keys->dk_kind != 2) {
        return false;
    }
    auto* entries = reinterpret_cast<detail::UnicodeEntry312*>(
        keys->dk_indices + (static_cast<std::size_t>(1) << keys->dk_log2_index_bytes));
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
        PyObject* key = entries[i].me_key;
        // Keys of shared keys are exact str; comparing two str runs no code.
        if (key == name || (key != nullptr && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) {
            InlineSlot learnt{type, type->tp_version_tag, i};
            if (inline_attr(learnt, obj) != expected) {
                return false;
            }
            slot = learnt;
            return true;
        }
    }
    return false;
}

}  // namespace quorcache
