"""Leak checks: run an operation many times and insist that it leaves nothing behind.

Also the Cache internal function table, reached through ctypes from the capsule
``Cache.__pyx_vtable__``, so that native-only operations can be checked the same way.
"""
import ctypes
import gc
import os
import sys

from quor_ui.fast.quorcache.quorcache import Cache

# 10,000 runs make a leak of one block or one reference per call stand out by four orders
# of magnitude; QUORCACHE_LEAK_RUNS lowers it for slow (sanitized, valgrind) runs.
RUNS = int(os.environ.get("QUORCACHE_LEAK_RUNS", "10000"))
WARMUP = 100  # fills the free lists, method caches and lazily made objects first
# The interpreter keeps some blocks across a loop on its own: a free list grown or shrunk,
# attribute-cache and shared-key dictionary entries, the pickle machinery's caches
# (measured: single digits for most operations, up to ~120 in a round of pickle round
# trips, whatever the number of runs). A per-call leak is RUNS / 2 blocks in each round,
# 25 times this bound.
# Under PYTHONMALLOC=malloc the count is always 0; the sanitizer's leak checker takes over.
TOLERANCE = 200


def ref_counts(objs):
    """The reference counts of ``objs``, each taken the same way, so that two calls compare
    equal when nothing else holds them (CPython 3.14 on borrows references on the evaluation
    stack: a count depends on where and how it is taken)."""
    return [sys.getrefcount(o) for o in objs]


def check(op, *sentinels, raises=None, runs=None):
    """Calls ``op()`` WARMUP + RUNS times. ``raises``: the exception every call must raise.

    Afterwards the number of allocated blocks is back to its baseline (within TOLERANCE)
    and every sentinel has exactly the reference count it had before.
    """
    runs = RUNS if runs is None else runs

    def loop(n):
        for _ in range(n):
            if raises is None:
                op()
                continue
            try:
                op()
            except raises:
                continue
            raise AssertionError(f"{op!r} did not raise {raises!r}")

    loop(WARMUP)
    gc.collect()
    HOOKS.drain()  # kept caches would come and go with the runs, not with a leak
    refs = ref_counts(sentinels)
    enabled = gc.isenabled()
    gc.disable()
    try:
        grown = []
        for _ in range(2):  # drift comes and goes; a leak shows in both rounds
            before = sys.getallocatedblocks()
            loop(runs // 2)
            gc.collect()
            HOOKS.drain()
            grown.append(sys.getallocatedblocks() - before)
    finally:
        if enabled:
            gc.enable()
    assert min(grown) <= TOLERANCE, f"{grown} blocks left behind by two rounds of {runs // 2}"
    after = ref_counts(sentinels)
    assert after == refs, f"a sentinel's reference count changed: {refs} -> {after}"


_obj = ctypes.py_object
_i32 = ctypes.c_int32


class Table(ctypes.Structure):
    """The internal function table, in its order. PYFUNCTYPE holds the GIL and turns a
    pending exception into a raise, also after the void operations."""

    _fields_ = [
        ("c_clear", ctypes.PYFUNCTYPE(None, _obj)),
        ("c_clear_selected", ctypes.PYFUNCTYPE(None, _obj, _obj, _obj)),
        ("c_get", ctypes.PYFUNCTYPE(_obj, _obj, _i32)),
        ("c_set", ctypes.PYFUNCTYPE(None, _obj, _i32, _obj)),
        ("c_get_or_set_val", ctypes.PYFUNCTYPE(_obj, _obj, _i32, _obj)),
        ("c_get_or_exec", ctypes.PYFUNCTYPE(_obj, _obj, _i32, _obj)),
        ("new", ctypes.PYFUNCTYPE(_obj)),
    ]


_get_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, _obj, ctypes.c_char_p)(
    ("PyCapsule_GetPointer", ctypes.pythonapi))
TABLE = Table.from_address(_get_pointer(Cache.__pyx_vtable__, None))


class Hooks(ctypes.Structure):
    """The module's test hooks, behind the context pointer of the table's capsule."""

    _fields_ = [
        ("reuse_on", ctypes.PYFUNCTYPE(ctypes.c_int)),   # dead caches are kept in this process
        ("drain", ctypes.PYFUNCTYPE(ctypes.c_ssize_t)),  # frees the kept ones; their number
    ]


_get_context = ctypes.PYFUNCTYPE(ctypes.c_void_p, _obj)(("PyCapsule_GetContext", ctypes.pythonapi))
HOOKS = Hooks.from_address(_get_context(Cache.__pyx_vtable__))
