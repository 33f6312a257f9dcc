// The CPython versions whose internals the shortcuts were checked against, and what
// differs between them. A version not listed here (or a free-threaded build, or one
// built with QUORCACHE_NO_SHORTCUTS) gets QUORCACHE_SHORTCUTS 0: every shortcut off,
// the ordinary paths only, and one message at build time (module.cpp).
// QUORCACHE_PRETEND_VERSION (a PY_VERSION_HEX value, through CXXFLAGS) makes the
// ladder take another version's branch: 0x03100000 builds as an unlisted version.
//
// Per version, as read from each one's headers and checked on its interpreter:
//  - 3.12, 3.13: the enum one-liners compile to LOAD_FAST, LOAD_ATTR, BINARY_SUBSCR
//    (__getitem__), LOAD_GLOBAL and CALL; their code flags are CO_OPTIMIZED and
//    CO_NEWLOCALS alone.
//  - 3.14: locals that the function doesn't keep are pushed as LOAD_FAST_BORROW, a
//    subscript is BINARY_OP with the NB_SUBSCR oparg (and 5 inline cache entries),
//    and methods with a docstring carry CO_METHOD and CO_HAS_DOCSTRING.
//  - 3.15: as 3.14, and RESUME is followed by an inline cache entry.
//  - Inline values (inline_attr.hpp): 3.12 tags a values pointer before the object;
//    3.13 puts struct _dictvalues right after the header; 3.14 and 3.15 put it at
//    tp_basicsize (types with __slots__ may have inline values too), with the same
//    struct _dictvalues and struct _dictkeysobject as 3.13.
//  - Unchanged from 3.12 to 3.15: _PyType_Lookup and _PyObject_GenericGetAttrWithDict
//    (cpython/object.h), PyUnstable_Type_AssignVersionTag, a modified type's tag reset
//    to 0 and never reused, builtins.property keeping its getter right after the
//    header, the interpreter's hook for classes with __getattr__ and the specializer
//    accepting it for method loads (LOAD_ATTR_METHOD_NO_DICT), 8 dict watchers
//    (3.13 and 3.14 leave 6 to extensions, 3.15 leaves 5).
#pragma once

#include <Python.h>
#include <opcode.h>

#ifdef QUORCACHE_PRETEND_VERSION
#define QUORCACHE_VERSION QUORCACHE_PRETEND_VERSION
#else
#define QUORCACHE_VERSION PY_VERSION_HEX
#endif

#if defined(QUORCACHE_NO_SHORTCUTS) || defined(Py_GIL_DISABLED) || QUORCACHE_VERSION < 0x030C0000 \
    || QUORCACHE_VERSION >= 0x03100000
#define QUORCACHE_SHORTCUTS 0
#else
#define QUORCACHE_SHORTCUTS 1
#endif

namespace quorcache::interp {

inline constexpr bool shortcuts = QUORCACHE_SHORTCUTS;

#if QUORCACHE_SHORTCUTS && QUORCACHE_VERSION < 0x030E0000
inline constexpr int load_local = LOAD_FAST;
inline constexpr int subscript_op = BINARY_SUBSCR, subscript_arg = 0;
inline constexpr bool resume_cached = false;
inline constexpr int method_flags = CO_OPTIMIZED | CO_NEWLOCALS;
#elif QUORCACHE_SHORTCUTS
inline constexpr int load_local = LOAD_FAST_BORROW;
inline constexpr int subscript_op = BINARY_OP, subscript_arg = NB_SUBSCR;
inline constexpr bool resume_cached = QUORCACHE_VERSION >= 0x030F0000;
inline constexpr int method_flags = CO_OPTIMIZED | CO_NEWLOCALS | CO_METHOD | CO_HAS_DOCSTRING;
#else
// Unlisted: no body is recognised (no instruction has a negative opcode).
inline constexpr int load_local = -1;
inline constexpr int subscript_op = -1, subscript_arg = 0;
inline constexpr bool resume_cached = false;
inline constexpr int method_flags = -1;
#endif

}  // namespace quorcache::interp
