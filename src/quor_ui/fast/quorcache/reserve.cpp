// Dead caches kept for reuse: see reserve.hpp.
#include "reserve.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "constants.hpp"
#include "internals.hpp"

#if defined(QUORCACHE_NO_REUSE) || defined(__SANITIZE_ADDRESS__)
#define QUORCACHE_REUSE_BUILT 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define QUORCACHE_REUSE_BUILT 0
#endif
#endif
#ifndef QUORCACHE_REUSE_BUILT
#define QUORCACHE_REUSE_BUILT 1
#endif

namespace quorcache {

namespace {

constexpr int CAPACITY = 16;

CacheObject* kept[CAPACITY];
int kept_count;
// Set at the module's execution when reuse is on; cleared for good at finalization.
bool accepting;

// The process checks its object allocator: every object is a block of the C
// library's (PYTHONMALLOC=malloc, as the memory checkers run) or the interpreter's
// debug hooks watch released blocks (a *debug allocator, or -X dev).
int
allocator_checked(bool* checked)
{
    // sys.flags through the attribute protocol, which reports a failure (PySys_GetObject
    // would print and swallow it).
    Ref sys = Ref::steal(PyImport_GetModule(names.sys));
    if (!sys) {
        if (PyErr_Occurred()) {
            return -1;
        }
        *checked = false;
        return 0;
    }
    Ref flags = Ref::steal(PyObject_GetAttr(sys.get(), names.flags));
    Ref dev = flags ? Ref::steal(PyObject_GetAttr(flags.get(), names.dev_mode)) : Ref();
    Ref ignore = dev ? Ref::steal(PyObject_GetAttr(flags.get(), names.ignore_environment)) : Ref();
    if (!ignore) {
        return -1;
    }
    int dev_mode = PyObject_IsTrue(dev.get());
    int ignore_env = dev_mode < 0 ? -1 : PyObject_IsTrue(ignore.get());
    if (ignore_env < 0) {
        return -1;
    }
    const char* name = ignore_env ? nullptr : std::getenv("PYTHONMALLOC");
    *checked = dev_mode
               || (name != nullptr
                   && (std::strcmp(name, "malloc") == 0 || std::strstr(name, "debug") != nullptr));
    return 0;
}

Py_ssize_t
drain()
{
    Py_ssize_t freed = 0;
    while (kept_count > 0) {
        CacheObject* op = kept[--kept_count];
        // The list holds 32 None and nothing else refers to it: releasing it runs no code.
        Py_CLEAR(op->cache_arr);
        cache_type.tp_free(op);
        ++freed;
    }
    return freed;
}

int
reuse_on()
{
    return accepting;
}

// Called while the interpreter finalizes, before its objects are torn down.
void
close_reserve(void*)
{
    accepting = false;
    drain();
}

}  // namespace

const ReserveHooks reserve_hooks = {reuse_on, drain};

int
reserve_setup()
{
    bool checked = true;
    if (!QUORCACHE_REUSE_BUILT || accepting || allocator_checked(&checked) < 0 || checked) {
        return PyErr_Occurred() ? -1 : 0;
    }
    if (!can_revive()) {
        return 0;  // a kept cache could not be handed out again: keep none
    }
    int registered = at_finalization(close_reserve, nullptr);
    if (registered != 0) {
        return registered < 0 ? -1 : 0;  // 1: nothing would free kept caches, so keep none
    }
    accepting = true;
    return 0;
}

bool
reserve_keep(CacheObject* op)
{
    PyObject* arr = op->cache_arr;
    if (!accepting || kept_count == CAPACITY || !PyList_CheckExact(arr) || Py_REFCNT(arr) != 1) {
        return false;
    }
    auto* list = reinterpret_cast<PyListObject*>(arr);
    // Exactly what PyList_New(32) makes, so that a reused list is a fresh one in every
    // respect (sys.getsizeof included).
    if (Py_SIZE(list) != SLOT_COUNT || list->allocated != SLOT_COUNT) {
        return false;
    }
    PyObject** items = list->ob_item;
    // The common case first, in a loop the compiler turns into a few vector compares.
    const auto none = reinterpret_cast<std::uintptr_t>(Py_None);
    std::uintptr_t differs = 0;
    for (Py_ssize_t i = 0; i < SLOT_COUNT; ++i) {
        differs |= reinterpret_cast<std::uintptr_t>(items[i]) ^ none;
    }
    if (differs == 0) {
        PyObject_GC_UnTrack(arr);
        kept[kept_count++] = op;
        return true;
    }
    for (Py_ssize_t i = 0; i < SLOT_COUNT; ++i) {
        if (items[i] != Py_None && PyObject_GC_IsTracked(items[i])) {
            return false;
        }
    }
    // The list is now reachable from nowhere: not from the dying cache, and not from
    // the collector either. Its entries are released as the list's own release would,
    // last first. That can still run code (an untracked object may own a tracked one:
    // a datetime its tzinfo, a tuple a dict that was given one since), which then runs
    // where the ordinary path would run it, with the list and the cache out of reach.
    PyObject_GC_UnTrack(arr);
    for (Py_ssize_t i = SLOT_COUNT - 1; i >= 0; --i) {
        if (items[i] != Py_None) {
            PyObject* old = items[i];
            items[i] = Py_NewRef(Py_None);
            Py_DECREF(old);
        }
    }
    // Code run above may have filled the reserve or closed it.
    if (!accepting || kept_count == CAPACITY) {
        return false;  // the caller releases the (untracked) list as usual
    }
    kept[kept_count++] = op;
    return true;
}

CacheObject*
reserve_take()
{
    if (kept_count == 0) {
        return nullptr;
    }
    CacheObject* op = kept[--kept_count];
    PyObject* self = reinterpret_cast<PyObject*>(op);
    // What the interpreter's own free lists do with an object they hand out again:
    // reference count 1, and the memory tracer and reference debugging told.
    revive(self);  // known to be there: reuse is on
    PyObject_GC_Track(op->cache_arr);
    PyObject_GC_Track(self);
    return op;
}

}  // namespace quorcache
