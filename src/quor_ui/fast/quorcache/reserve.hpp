// Dead caches kept for reuse. An exact Cache that dies holding the only reference
// to a plain 32-entry slot list whose entries the collector does not track is kept,
// with its list, in a small reserve instead of being freed; Cache(), copy() and the
// table's new hand it out again. A kept cache and its list are untracked and referred
// to by nothing but the reserve, so no Python code can reach them.
//
// Reuse is off in sanitized builds (compiled out) and in a process whose object
// allocator is being checked (PYTHONMALLOC=malloc or a debug variant, or -X dev), so
// that a cache used after its release is still seen there.
#pragma once

#include <Python.h>

#include "cache.hpp"

namespace quorcache {

// At the module's execution: decides whether caches are kept at all, and arranges
// for the kept ones to be freed when the interpreter finalizes. 0, or -1 with the
// exception set.
int reserve_setup();

// From an exact Cache's dealloc, once the object is untracked: true when the cache
// and its list were kept (the caller frees nothing), false when the caller goes on
// with the ordinary release. May run code (see reserve.cpp).
bool reserve_keep(CacheObject* op);

// A kept cache alive again: a new reference, tracked, its list of 32 None tracked
// too. nullptr when none is kept (nothing raised).
CacheObject* reserve_take();

// Test-only: reached through the context pointer of Cache.__pyx_vtable__, and
// named nowhere else. reuse_on: whether this process keeps caches at all. drain:
// frees every kept cache, giving their number.
struct ReserveHooks {
    int (*reuse_on)();
    Py_ssize_t (*drain)();
};
extern const ReserveHooks reserve_hooks;

}  // namespace quorcache
