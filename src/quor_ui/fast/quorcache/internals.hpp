// Every read of the interpreter that is not its public, stable C API, in one place.
//
// The module's shortcuts (see remembered.hpp) rest on facts about CPython's
// internals: private functions, struct layouts, the bytecode of the standard
// library's enum machinery. Each is stated here once, behind one version ladder
// that says what it relies on per version. A CPython version the ladder does not
// list, a free-threaded build, or a build with QUORCACHE_NO_SHORTCUTS defined
// (e.g. CXXFLAGS=-DQUORCACHE_NO_SHORTCUTS) compiles with every shortcut off:
// `SHORTCUTS` is false, the functions below that stand for an internal report
// "not known" (nullptr, false, 0), and every caller takes the ordinary path.
//
// QUORCACHE_PRETEND_VERSION (a PY_VERSION_HEX value, through CXXFLAGS) makes the
// ladder take another version's rung: 0x03100000 builds as an unlisted version does.
//
// The ladder (what each entry relies on, per version):
//
//   3.12 to 3.15 (default build, GIL):
//   - type_lookup: _PyType_Lookup, the MRO look-up through the type cache; it
//     swallows errors and, over dicts of exact str keys alone, runs no code.
//   - generic_getattr_or_null: _PyObject_GenericGetAttrWithDict(op, name, NULL, 1),
//     the generic lookup reporting a missing name as NULL with nothing raised
//     (cpython/object.h).
//   - version_tag / assign_version_tag: tp_version_tag, reset to 0 by any change
//     of the type or a base and never reused (PyUnstable_Type_AssignVersionTag).
//   - compact_int: PyUnstable_Long_IsCompact / PyUnstable_Long_CompactValue.
//   - str_hash: the hash cached in PyASCIIObject (-1 until computed).
//   - property_getter: builtins.property keeps its getter first after the header
//     (descrobject.c, propertyobject).
//   - probe_getattr_hook: a class with __getattr__ gets typeobject.c's
//     slot_tp_getattr_hook as tp_getattro, and the specializer
//     (specialize.c, analyze_descriptor) accepts only it and the generic lookup as
//     a hook under which method loads skip the bound method.
//     (3.14 and 3.15 give the same answers: checked empirically, and the
//     specializer names LOAD_ATTR_METHOD_NO_DICT for `cache.get` on each.)
//   - function_body_is: code object fields (co_argcount, co_nlocals, co_flags,
//     co_names, co_consts, co_exceptiontable) and PyCode_GetCode, compared with
//     the bodies the version's enum.py compiles to (`stock_bodies`, printed by
//     scripts/stock_bodies.py; a patch release whose enum.py differs compiles to
//     other bytes, is taken for customised, and runs the ordinary paths).
//   - inline values (inline_attr, learn_inline_slot):
//     3.12: an instance of a type with Py_TPFLAGS_MANAGED_DICT keeps, three
//       pointers before its header, either its dict or (tagged with the low bit) a
//       pointer one byte before its values array (pycore_object.h:
//       _PyObject_DictOrValuesPointer, _PyDictOrValues_IsValues/GetValues);
//     3.13: an instance of a type with Py_TPFLAGS_INLINE_VALUES (whose basic size
//       is then a bare object header) has its values right after the header, as a
//       struct _dictvalues (pycore_dict.h: capacity, size, embedded and valid
//       bytes, then the array; pycore_object.h: _PyObject_InlineValues). They stay
//       valid while they hold the attributes, a dict made for the instance
//       included, and are marked invalid when the attributes move out;
//     3.14, 3.15: the same struct _dictvalues, at tp_basicsize from the object
//       (_PyObject_InlineValues), so also after the slots of a type with __slots__,
//       which may have inline values from 3.14 on;
//     all: the values array is indexed like the entries of the type's shared keys
//       (PyHeapTypeObject.ht_cached_keys; struct _dictkeysobject in pycore_dict.h),
//       which only grow at the end and are never resized, so a name's index is
//       fixed for the life of the type; a deleted attribute leaves a null.
//
//   - revive: _Py_NewReference, what the interpreter's own free lists do with an
//     object they hand out again (reference count 1; the memory tracer, reference
//     tracers and debug counts told).
//   - at_finalization: _Py_AtExit (3.12) / PyUnstable_AtExit (3.13), callbacks run
//     while the interpreter finalizes, before its objects are torn down. Declared
//     weak: a build loaded into another version (which the module warns about)
//     still imports, and then keeps no dead cache.
//
//   What changed in 3.14 and 3.15 for the above (read from their headers and checked
//   on their interpreters): the enum bodies (3.14: LOAD_FAST_BORROW for locals whose
//   reference the frame keeps, BINARY_OP with the NB_SUBSCR oparg and 5 cache entries
//   where 3.13 had BINARY_SUBSCR, CO_METHOD and CO_HAS_DOCSTRING in co_flags, opcodes
//   renumbered; 3.15: a cache entry after RESUME too), and where the inline values lie
//   (tp_basicsize). Unchanged: _PyType_Lookup and _PyObject_GenericGetAttrWithDict in
//   cpython/object.h, PyUnstable_Type_AssignVersionTag and tags reset to 0 on a change,
//   struct _dictkeysobject and _dictvalues, the dict key kinds, PyASCIIObject's hash,
//   the property's getter right after the header, the hook for classes with
//   __getattr__ and the method loads it allows, 8 dict watchers (3.13 and 3.14 leave 6
//   to extensions, 3.15 leaves 5).
//
//   anything else: nothing of the above; every shortcut off.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#ifdef QUORCACHE_PRETEND_VERSION
#define QUORCACHE_PY_VERSION QUORCACHE_PRETEND_VERSION
#else
#define QUORCACHE_PY_VERSION PY_VERSION_HEX
#endif

#if defined(QUORCACHE_NO_SHORTCUTS) || defined(Py_GIL_DISABLED)
#define QUORCACHE_INTERNALS 0
#elif QUORCACHE_PY_VERSION >= 0x030C0000 && QUORCACHE_PY_VERSION < 0x030D0000
#define QUORCACHE_INTERNALS 312
#elif QUORCACHE_PY_VERSION >= 0x030D0000 && QUORCACHE_PY_VERSION < 0x030E0000
#define QUORCACHE_INTERNALS 313
#elif QUORCACHE_PY_VERSION >= 0x030E0000 && QUORCACHE_PY_VERSION < 0x030F0000
#define QUORCACHE_INTERNALS 314
#elif QUORCACHE_PY_VERSION >= 0x030F0000 && QUORCACHE_PY_VERSION < 0x03100000
#define QUORCACHE_INTERNALS 315
#else
#define QUORCACHE_INTERNALS 0
#define QUORCACHE_UNLISTED_VERSION 1
#endif

// Said once per build: module.cpp alone defines QUORCACHE_REPORT_BUILD.
#if defined(QUORCACHE_REPORT_BUILD) && defined(QUORCACHE_UNLISTED_VERSION)
#ifdef QUORCACHE_PRETEND_VERSION
#pragma message("quorcache: built as a CPython version not in internals.hpp's ladder "             \
                "(QUORCACHE_PRETEND_VERSION), with every shortcut off (the ordinary paths)")
#else
#pragma message("quorcache: CPython " PY_VERSION " is not in internals.hpp's ladder; "             \
                "built with every shortcut off (the ordinary paths)")
#endif
#endif

namespace quorcache {

inline constexpr bool SHORTCUTS = QUORCACHE_INTERNALS != 0;

// ---- types -----------------------------------------------------------------------

// The attribute `name` of `type` as its MRO gives it (borrowed from a class dict,
// maybe null), with nothing raised. Without SHORTCUTS the MRO is walked through
// the public API (no type cache; a look-up may then run a key's __eq__, so callers
// hold the result at once, as they do).
inline PyObject*
type_lookup(PyTypeObject* type, PyObject* name)
{
#if QUORCACHE_INTERNALS
    return _PyType_Lookup(type, name);
#else
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* found = nullptr;
    PyObject* mro = Py_XNewRef(type->tp_mro);  // held: a key's __eq__ may replace it
    for (Py_ssize_t i = 0; mro != nullptr && found == nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* dict = PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        found = dict != nullptr ? PyDict_GetItemWithError(dict, name) : nullptr;
        Py_XDECREF(dict);  // the class keeps it, and `found` with it
    }
    Py_XDECREF(mro);  // a tuple of classes: its release runs no code
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return found;
#endif
}

// The type's version tag: 0 for none. Any change to the type or a base resets it,
// and a tag is never reused, so (type, tag) names one state of one type.
inline unsigned int
version_tag(PyTypeObject* type)
{
#if QUORCACHE_INTERNALS
    return type->tp_version_tag;
#else
    (void)type;
    return 0;
#endif
}

// Gives `type` a version tag if it has none; the tag, or 0 if it can't have one.
inline unsigned int
assign_version_tag(PyTypeObject* type)
{
#if QUORCACHE_INTERNALS
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
#else
    (void)type;
    return 0;
#endif
}

// ---- attribute lookup ------------------------------------------------------------

// The generic attribute lookup, a missing name giving nullptr with nothing raised.
inline PyObject*
generic_getattr_or_null(PyObject* op, PyObject* name)
{
#if QUORCACHE_INTERNALS
    return _PyObject_GenericGetAttrWithDict(op, name, nullptr, 1);
#else
    PyObject* found = PyObject_GenericGetAttr(op, name);
    if (found == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    }
    return found;
#endif
}

// The interpreter's own attribute hook for classes with __getattr__: a throw-away
// class with __getattr__ gets it (public API, in every build). With SHORTCUTS it
// becomes Cache's hook, relying on it being the only hook besides the generic
// lookup under which the interpreter loads methods without a bound method.
// nullptr, maybe with an exception set, when it can't be had.
inline getattrofunc
probe_getattr_hook()
{
    PyObject* body = PyDict_New();
    if (body == nullptr || PyDict_SetItemString(body, "__getattr__", Py_None) < 0) {
        Py_XDECREF(body);
        return nullptr;
    }
    PyObject* probe = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O",
                                            "probe", &PyBaseObject_Type, body);
    Py_DECREF(body);
    if (probe == nullptr) {
        return nullptr;
    }
    getattrofunc hook = reinterpret_cast<PyTypeObject*>(probe)->tp_getattro;
    Py_DECREF(probe);
    return hook == PyObject_GenericGetAttr ? nullptr : hook;
}

// ---- objects -----------------------------------------------------------------------

#if QUORCACHE_INTERNALS
extern "C" {
void _Py_NewReference(PyObject*) __attribute__((weak));
int _Py_AtExit(PyInterpreterState*, atexit_datacallbackfunc, void*) __attribute__((weak));
#if QUORCACHE_INTERNALS >= 313
int PyUnstable_AtExit(PyInterpreterState*, atexit_datacallbackfunc, void*) __attribute__((weak));
#endif
}
#endif

// An object that its dealloc kept, made live again as the interpreter's free lists
// make theirs: reference count 1, the tracers told. False, and nothing done, when
// that is not known here: then nothing may be kept.
inline bool
revive(PyObject* op)
{
#if QUORCACHE_INTERNALS
    if (_Py_NewReference != nullptr) {
        _Py_NewReference(op);
        return true;
    }
#endif
    (void)op;
    return false;
}

inline bool
can_revive()
{
#if QUORCACHE_INTERNALS
    return _Py_NewReference != nullptr;
#else
    return false;
#endif
}

// Registers func(data) to run while the interpreter finalizes: 0, -1 with an
// exception set, or 1 (nothing registered) where that is not known here.
inline int
at_finalization(atexit_datacallbackfunc func, void* data)
{
#if QUORCACHE_INTERNALS >= 313
    auto* at_exit = PyUnstable_AtExit != nullptr ? PyUnstable_AtExit : _Py_AtExit;
#elif QUORCACHE_INTERNALS
    auto* at_exit = _Py_AtExit;
#else
    (void)func, (void)data;
    return 1;
#endif
#if QUORCACHE_INTERNALS
    if (at_exit == nullptr) {
        return 1;
    }
    if (at_exit(PyInterpreterState_Get(), func, data) < 0) {
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();  // its one way to fail
        }
        return -1;
    }
    return 0;
#endif
}

// The value of an int of one digit (below 2**30 in size), read without a call:
// true and *out set, or false for any other int.
inline bool
compact_int(PyObject* v, std::int64_t* out)
{
#if QUORCACHE_INTERNALS
    const auto* lv = reinterpret_cast<const PyLongObject*>(v);
    if (PyUnstable_Long_IsCompact(lv)) {
        *out = static_cast<std::int64_t>(PyUnstable_Long_CompactValue(lv));
        return true;
    }
#else
    (void)v, (void)out;
#endif
    return false;
}

// The hash an exact str has cached, or -1 when not computed (or not known).
inline Py_hash_t
str_hash(PyObject* s)
{
#if QUORCACHE_INTERNALS
    return reinterpret_cast<PyASCIIObject*>(s)->hash;
#else
    (void)s;
    return -1;
#endif
}

// The getter of an exact builtins.property (borrowed), read without running code.
inline PyObject*
property_getter(PyObject* prop)
{
#if QUORCACHE_INTERNALS
    PyObject* p;
    std::memcpy(&p, reinterpret_cast<char*>(prop) + sizeof(PyObject), sizeof p);
    return p;
#else
    (void)prop;
    return nullptr;
#endif
}

// ---- code objects --------------------------------------------------------------------

enum class ConstKind { NONE, STR, DOC };  // DOC: a docstring, never loaded: any str

struct StockConst {
    ConstKind kind;
    const char* text;
};

// A function body as the compiler makes it: its signature counts, flags, names,
// constants, instructions with their arguments and inline cache entries (as
// PyCode_GetCode gives them, unspecialised), and exception table.
struct StockBody {
    int argcount, posonlyargcount, kwonlyargcount, nlocals, flags;
    const char* names[12];
    Py_ssize_t name_count;
    StockConst consts[6];
    Py_ssize_t const_count;
    const char* code;
    Py_ssize_t code_size;
    const char* exceptiontable;
    Py_ssize_t exceptiontable_size;
};

// The bodies of enum.py's property.__get__, Enum.value, EnumType.__getitem__ and
// EnumType.__members__ (the getter), as this version compiles them.
namespace stock_bodies {
// clang-format off
#if QUORCACHE_INTERNALS == 312
inline const StockBody property_get_body = {
    3, 0, 0, 3, 0x3,
    {"member", "AttributeError", "name", "fget", "_attr_type", "getattr", "_cls_type", "_value_", "_member_map_", "KeyError"}, 10,
    {{ConstKind::NONE, nullptr}, {ConstKind::STR, " has no attribute "}, {ConstKind::STR, "attr"}, {ConstKind::STR, "desc"}}, 4,
    "\x97\x00\x7c\x01\x80\x32\x7c\x00\x6a\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x81\x0c\x7c\x00"
        "\x6a\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x53\x00\x74\x03\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x7c\x02\x9b\x02\x64\x01\x7c\x00\x6a\x04\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x9b\x02\x9d\x03"
        "\xab\x01\x00\x00\x00\x00\x00\x00\x82\x01\x7c\x00\x6a\x06\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x81\x11\x7c\x00\x6a\x07\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x7c\x01\xab\x01\x00\x00\x00\x00"
        "\x00\x00\x53\x00\x7c\x00\x6a\x08\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x64\x02\x6b\x28\x00\x00"
        "\x72\x20\x74\x0b\x00\x00\x00\x00\x00\x00\x00\x00\x7c\x00\x6a\x0c"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x7c\x00\x6a\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\xab\x02\x00\x00\x00\x00\x00\x00"
        "\x53\x00\x7c\x00\x6a\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x64\x03\x6b\x28\x00\x00\x72\x20"
        "\x74\x0b\x00\x00\x00\x00\x00\x00\x00\x00\x7c\x01\x6a\x0e\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x7c\x00\x6a\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\xab\x02\x00\x00\x00\x00\x00\x00\x53\x00"
        "\x09\x00\x7c\x02\x6a\x10\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x7c\x00\x6a\x04\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x19\x00"
        "\x00\x00\x53\x00\x23\x00\x74\x12\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x24\x00\x72\x1c\x01\x00\x74\x03\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x7c\x02\x9b\x02\x64\x01\x7c\x00\x6a\x04\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x9b\x02\x9d\x03"
        "\xab\x01\x00\x00\x00\x00\x00\x00\x64\x00\x82\x02\x77\x00\x78\x03"
        "\x59\x00\x77\x01", 484,
    "\xc2\x31\x18\x43\x0a\x00\xc3\x0a\x25\x43\x2f\x03", 12};
inline const StockBody value_body = {
    1, 0, 0, 1, 0x3,
    {"_value_"}, 1,
    {{ConstKind::DOC, nullptr}}, 1,
    "\x97\x00\x7c\x00\x6a\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x53\x00", 26,
    "", 0};
inline const StockBody getitem_body = {
    2, 0, 0, 2, 0x3,
    {"_member_map_"}, 1,
    {{ConstKind::DOC, nullptr}}, 1,
    "\x97\x00\x7c\x00\x6a\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x7c\x01\x19\x00\x00\x00\x53\x00", 32,
    "", 0};
inline const StockBody members_body = {
    1, 0, 0, 1, 0x3,
    {"MappingProxyType", "_member_map_"}, 2,
    {{ConstKind::DOC, nullptr}}, 1,
    "\x97\x00\x74\x01\x00\x00\x00\x00\x00\x00\x00\x00\x7c\x00\x6a\x02"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\xab\x01\x00\x00\x00\x00\x00\x00\x53\x00", 44,
    "", 0};
#elif QUORCACHE_INTERNALS == 313
inline const StockBody property_get_body = {
    3, 0, 0, 3, 0x3,
    {"member", "AttributeError", "name", "fget", "_attr_type", "getattr", "_cls_type", "_value_", "_member_map_", "KeyError"}, 10,
    {{ConstKind::NONE, nullptr}, {ConstKind::STR, " has no attribute "}, {ConstKind::STR, "attr"}, {ConstKind::STR, "desc"}}, 4,
    "\x95\x00\x55\x01\x63\x35\x00\x00\x55\x00\x52\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x62\x0c"
        "\x00\x00\x55\x00\x52\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x24\x00\x5b\x03\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x55\x02\x3c\x02\x0e\x00\x53\x01\x55\x00\x52\x04"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x3c\x02\x0e\x00\x33\x03\x35\x01\x00\x00\x00\x00\x00\x00"
        "\x65\x01\x55\x00\x52\x06\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x62\x11\x00\x00\x55\x00\x52\x07"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x55\x01\x35\x01\x00\x00\x00\x00\x00\x00\x24\x00\x55\x00"
        "\x52\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x53\x02\x3a\x58\x00\x00\x61\x20\x00\x00\x5b\x0b"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x55\x00\x52\x0c\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x55\x00"
        "\x52\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x35\x02\x00\x00\x00\x00\x00\x00\x24\x00\x55\x00"
        "\x52\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x53\x03\x3a\x58\x00\x00\x61\x20\x00\x00\x5b\x0b"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x55\x01\x52\x0e\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x55\x00"
        "\x52\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x35\x02\x00\x00\x00\x00\x00\x00\x24\x00\x1e\x00"
        "\x55\x02\x52\x10\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x55\x00\x52\x04\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x05\x00\x00\x00"
        "\x24\x00\x21\x00\x5b\x12\x00\x00\x00\x00\x00\x00\x00\x00\x07\x00"
        "\x61\x1e\x00\x00\x20\x00\x5b\x03\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x55\x02\x3c\x02\x0e\x00\x53\x01\x55\x00\x52\x04\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x3c\x02"
        "\x0e\x00\x33\x03\x35\x01\x00\x00\x00\x00\x00\x00\x53\x00\x65\x02"
        "\x66\x00\x3d\x03\x1f\x00\x66\x01", 504,
    "\xc2\x38\x18\x43\x11\x00\xc3\x11\x28\x43\x39\x03", 12};
inline const StockBody value_body = {
    1, 0, 0, 1, 0x3,
    {"_value_"}, 1,
    {{ConstKind::DOC, nullptr}}, 1,
    "\x95\x00\x55\x00\x52\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x24\x00", 26,
    "", 0};
inline const StockBody getitem_body = {
    2, 0, 0, 2, 0x3,
    {"_member_map_"}, 1,
    {{ConstKind::DOC, nullptr}}, 1,
    "\x95\x00\x55\x00\x52\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x55\x01\x05\x00\x00\x00\x24\x00", 32,
    "", 0};
inline const StockBody members_body = {
    1, 0, 0, 1, 0x3,
    {"MappingProxyType", "_member_map_"}, 2,
    {{ConstKind::DOC, nullptr}}, 1,
    "\x95\x00\x5b\x01\x00\x00\x00\x00\x00\x00\x00\x00\x55\x00\x52\x02"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x35\x01\x00\x00\x00\x00\x00\x00\x24\x00", 44,
    "", 0};
#elif QUORCACHE_INTERNALS == 314
// CPython 3.14.10: scripts/stock_bodies.py
inline const StockBody property_get_body = {
    3, 0, 0, 3, 0x8000003,
    {"member", "AttributeError", "name", "fget", "_attr_type", "getattr", "_cls_type", "_value_", "_member_map_", "KeyError"}, 10,
    {{ConstKind::NONE, nullptr}, {ConstKind::STR, " has no attribute "}, {ConstKind::STR, "attr"}, {ConstKind::STR, "desc"}}, 4,
    "\x80\x00\x56\x01\x66\x37\x00\x00\x1c\x00\x56\x00\x50\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x65\x0d\x00\x00\x1c\x00\x56\x00\x50\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x23\x00\x5c\x03\x00\x00\x00\x00\x00\x00\x00\x00\x56\x02\x3a\x02\x0c\x00\x52\x01\x56\x00\x50\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x3a\x02\x0c\x00\x32\x03\x34\x01\x00\x00\x00\x00\x00\x00\x68\x01\x56\x00\x50\x06\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x65\x12\x00\x00\x1c\x00\x56\x00\x50\x07\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x56\x01\x34\x01\x00\x00\x00\x00\x00\x00\x23\x00\x56\x00\x50\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x52\x02\x38\x58\x00\x00\x64\x21\x00\x00\x1c\x00\x5c\x0b\x00\x00\x00\x00\x00\x00\x00\x00\x56\x00\x50\x0c\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x56\x00\x50\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x02\x00\x00\x00\x00\x00\x00\x23\x00\x56\x00\x50\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x52\x03\x38\x58\x00\x00\x64\x21\x00\x00\x1c\x00\x5c\x0b\x00\x00\x00\x00\x00\x00\x00\x00\x56\x01\x50\x0e\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x56\x00\x50\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x02\x00\x00\x00\x00\x00\x00\x23\x00\x1b\x00\x56\x02\x50\x10\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x56\x00\x50\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x2c\x1a\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x23\x00\x20\x00\x5c\x12\x00\x00\x00\x00\x00\x00\x00\x00\x06\x00\x64\x1f\x00\x00\x1c\x00\x1f\x00\x5c\x03\x00\x00\x00\x00\x00\x00\x00\x00\x54\x02\x3a\x02\x0c\x00\x52\x01\x54\x00\x50\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x3a\x02\x0c\x00\x32\x03\x34\x01\x00\x00\x00\x00\x00\x00\x52\x00\x68\x02\x69\x00\x3b\x03\x1d\x00\x69\x01", 524,
    "\xc2\x3d\x1c\x43\x1a\x00\xc3\x1a\x29\x44\x03\x03", 12};
inline const StockBody value_body = {
    1, 0, 0, 1, 0xc000003,
    {"_value_"}, 1,
    {{ConstKind::DOC, nullptr}}, 1,
    "\x80\x00\x56\x00\x50\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x23\x00", 26,
    "", 0};
inline const StockBody getitem_body = {
    2, 0, 0, 2, 0xc000003,
    {"_member_map_"}, 1,
    {{ConstKind::DOC, nullptr}}, 1,
    "\x80\x00\x56\x00\x50\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x56\x01\x2c\x1a\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x23\x00", 40,
    "", 0};
inline const StockBody members_body = {
    1, 0, 0, 1, 0xc000003,
    {"MappingProxyType", "_member_map_"}, 2,
    {{ConstKind::DOC, nullptr}}, 1,
    "\x80\x00\x5c\x01\x00\x00\x00\x00\x00\x00\x00\x00\x56\x00\x50\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x01\x00\x00\x00\x00\x00\x00\x23\x00", 44,
    "", 0};
#elif QUORCACHE_INTERNALS == 315
// CPython 3.15.2: scripts/stock_bodies.py
inline const StockBody property_get_body = {
    3, 0, 0, 3, 0x8000003,
    {"member", "AttributeError", "name", "fget", "_attr_type", "getattr", "_cls_type", "_value_", "_member_map_", "KeyError"}, 10,
    {{ConstKind::NONE, nullptr}, {ConstKind::STR, " has no attribute "}, {ConstKind::STR, "attr"}, {ConstKind::STR, "desc"}}, 4,
    "\x80\x00\x00\x00\x55\x01\x65\x37\x00\x00\x1a\x00\x55\x00\x4f\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x64\x0d\x00\x00\x1a\x00\x55\x00\x4f\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x21\x00\x5b\x03\x00\x00\x00\x00\x00\x00\x00\x00\x55\x02\x38\x02\x0c\x00\x51\x01\x55\x00\x4f\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x38\x02\x0c\x00\x30\x03\x32\x01\x00\x00\x00\x00\x00\x00\x67\x01\x55\x00\x4f\x06\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x64\x12\x00\x00\x1a\x00\x55\x00\x4f\x07\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x55\x01\x32\x01\x00\x00\x00\x00\x00\x00\x21\x00\x55\x00\x4f\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x51\x02\x36\x58\x00\x00\x63\x21\x00\x00\x1a\x00\x5b\x0b\x00\x00\x00\x00\x00\x00\x00\x00\x55\x00\x4f\x0c\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x55\x00\x4f\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x32\x02\x00\x00\x00\x00\x00\x00\x21\x00\x55\x00\x4f\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x51\x03\x36\x58\x00\x00\x63\x21\x00\x00\x1a\x00\x5b\x0b\x00\x00\x00\x00\x00\x00\x00\x00\x55\x01\x4f\x0e\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x55\x00\x4f\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x32\x02\x00\x00\x00\x00\x00\x00\x21\x00\x19\x00\x55\x02\x4f\x10\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x55\x00\x4f\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x2a\x1a\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x21\x00\x1e\x00\x5b\x12\x00\x00\x00\x00\x00\x00\x00\x00\x06\x00\x63\x1f\x00\x00\x1a\x00\x1d\x00\x5b\x03\x00\x00\x00\x00\x00\x00\x00\x00\x53\x02\x38\x02\x0c\x00\x51\x01\x53\x00\x4f\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x38\x02\x0c\x00\x30\x03\x32\x01\x00\x00\x00\x00\x00\x00\x50\x07\x67\x02\x68\x00\x39\x03\x1b\x00\x68\x01", 526,
    "\xc2\x3e\x1c\x43\x1b\x00\xc3\x1b\x29\x44\x04\x03", 12};
inline const StockBody value_body = {
    1, 0, 0, 1, 0xc000003,
    {"_value_"}, 1,
    {{ConstKind::DOC, nullptr}}, 1,
    "\x80\x00\x00\x00\x55\x00\x4f\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x21\x00", 28,
    "", 0};
inline const StockBody getitem_body = {
    2, 0, 0, 2, 0xc000003,
    {"_member_map_"}, 1,
    {{ConstKind::DOC, nullptr}}, 1,
    "\x80\x00\x00\x00\x55\x00\x4f\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x55\x01\x2a\x1a\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x21\x00", 42,
    "", 0};
inline const StockBody members_body = {
    1, 0, 0, 1, 0xc000003,
    {"MappingProxyType", "_member_map_"}, 2,
    {{ConstKind::DOC, nullptr}}, 1,
    "\x80\x00\x00\x00\x5b\x01\x00\x00\x00\x00\x00\x00\x00\x00\x55\x00\x4f\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x32\x01\x00\x00\x00\x00\x00\x00\x21\x00", 46,
    "", 0};
#else
inline const StockBody property_get_body{}, value_body{}, getitem_body{}, members_body{};
#endif
// clang-format on
}  // namespace stock_bodies

// `f`, a Python function, has exactly `body` (names and constants compared as
// exact str, which runs no code): 1 or 0; -1 with the exception set if its
// instructions couldn't be read. 0 without SHORTCUTS.
inline int
function_body_is(PyObject* f, const StockBody& body)
{
#if QUORCACHE_INTERNALS
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f));
    if (code->co_argcount != body.argcount || code->co_posonlyargcount != body.posonlyargcount
        || code->co_kwonlyargcount != body.kwonlyargcount || code->co_nlocals != body.nlocals
        || code->co_nlocalsplus != body.nlocals || code->co_flags != body.flags
        || PyTuple_GET_SIZE(code->co_names) != body.name_count
        || PyTuple_GET_SIZE(code->co_consts) != body.const_count
        || PyBytes_GET_SIZE(code->co_exceptiontable) != body.exceptiontable_size
        || std::memcmp(PyBytes_AS_STRING(code->co_exceptiontable), body.exceptiontable,
                       static_cast<std::size_t>(body.exceptiontable_size))
               != 0) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < body.name_count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(code->co_names, i);
        if (!PyUnicode_CheckExact(name)
            || PyUnicode_CompareWithASCIIString(name, body.names[i]) != 0) {
            return 0;
        }
    }
    for (Py_ssize_t i = 0; i < body.const_count; ++i) {
        PyObject* value = PyTuple_GET_ITEM(code->co_consts, i);
        const StockConst& expected = body.consts[i];
        bool same = expected.kind == ConstKind::NONE
                        ? value == Py_None
                        : PyUnicode_CheckExact(value)
                              && (expected.kind == ConstKind::DOC
                                  || PyUnicode_CompareWithASCIIString(value, expected.text) == 0);
        if (!same) {
            return 0;
        }
    }
    PyObject* ops = PyCode_GetCode(code);
    if (ops == nullptr) {
        return -1;
    }
    bool same =
        PyBytes_GET_SIZE(ops) == body.code_size
        && std::memcmp(PyBytes_AS_STRING(ops), body.code, static_cast<std::size_t>(body.code_size))
               == 0;
    Py_DECREF(ops);
    return same;
#else
    (void)f, (void)body;
    return 0;
#endif
}

// ---- inline values ---------------------------------------------------------------

// Where attribute `name` lives in the inline values of instances of `type`,
// while `type` keeps the version tag `version`. Pointers are compared, never
// followed, unless the object at hand has this type with this tag: tags are
// never reused, so a type freed and another made at its address can't match.
struct InlineSlot {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    Py_ssize_t index = -1;
};

namespace detail {

#if QUORCACHE_INTERNALS

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

#if QUORCACHE_INTERNALS == 312
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
#if QUORCACHE_INTERNALS == 313
    // Right after the header, in types whose basic size is a bare header.
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES) || type->tp_basicsize != sizeof(PyObject)) {
        return nullptr;
    }
#else
    // At the type's basic size.
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES)) {
        return nullptr;
    }
#endif
    auto* values =
        reinterpret_cast<const Values313*>(reinterpret_cast<char*>(obj) + type->tp_basicsize);
    if (!values->valid || index >= values->capacity) {
        return nullptr;
    }
    return values->values[index];
}
#endif
#endif  // QUORCACHE_INTERNALS

}  // namespace detail

// obj.name from its inline values (borrowed), when `slot` has been learnt for
// obj's type at its current version tag and the value is there; else nullptr
// and the caller does the ordinary lookup. Reads memory only: runs no code.
inline PyObject*
inline_attr(const InlineSlot& slot, PyObject* obj)
{
#if QUORCACHE_INTERNALS
    PyTypeObject* type = Py_TYPE(obj);
    if (type != slot.type || type->tp_version_tag != slot.version || slot.index < 0) {
        return nullptr;
    }
    return detail::value_at(obj, slot.index);
#else
    (void)slot, (void)obj;
    return nullptr;
#endif
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
#if QUORCACHE_INTERNALS
    PyTypeObject* type = Py_TYPE(obj);
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)
        || type->tp_version_tag == 0 || !PyUnicode_CheckExact(name)) {
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
        if (key == name
            || (key != nullptr && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) {
            InlineSlot learnt{type, type->tp_version_tag, i};
            if (inline_attr(learnt, obj) != expected) {
                return false;
            }
            slot = learnt;
            return true;
        }
    }
    return false;
#else
    (void)slot, (void)obj, (void)name, (void)expected;
    return false;
#endif
}

// ---- dicts -------------------------------------------------------------------------

// Every key of `dict` (an exact dict) is an exact str, so looking a str up in it
// runs no code. 3.12 to 3.15: the keys object's kind says so in one read (a
// table of kind DICT_KEYS_UNICODE or DICT_KEYS_SPLIT holds exact str keys alone;
// inserting any other key turns it into DICT_KEYS_GENERAL, pycore_dict.h).
// Elsewhere every key is looked at.
inline bool
only_str_keys(PyObject* dict)
{
#if QUORCACHE_INTERNALS
    auto* keys =
        reinterpret_cast<const detail::Keys312*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    return keys->dk_kind != 0;
#else
    Py_ssize_t pos = 0;
    PyObject* key;
    while (PyDict_Next(dict, &pos, &key, nullptr)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
#endif
}

}  // namespace quorcache
