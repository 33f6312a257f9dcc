#include "watch.hpp"

namespace quorcache {

std::uint64_t dict_generation = 1;

namespace {

int watcher_id = -1;  // the interpreter's; the module lives in one interpreter only
// Every watcher of the interpreter was taken when the module asked for one. Kept
// for good: watchers are taken by extensions at import and hardly ever given back,
// and asking again at every use would cost a raised and cleared RuntimeError each
// time. A failure to allocate that error is no such finding: asked again next time.
bool watchers_exhausted = false;

// Runs inside the interpreter's dict code, before the change: it must not run
// Python code or raise, and doesn't.
int
on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*)
{
    ++dict_generation;
    return 0;
}

}  // namespace

bool
have_dict_watcher()
{
    if (watcher_id >= 0) {
        return true;
    }
    if (watchers_exhausted) {
        return false;
    }
    PyObject* exc = PyErr_GetRaisedException();  // callers may hold a pending exception
    watcher_id = PyDict_AddWatcher(on_dict_event);  // -1: all taken, or no memory
    if (watcher_id < 0 && PyErr_ExceptionMatches(PyExc_RuntimeError)) {
        watchers_exhausted = true;
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return watcher_id >= 0;
}

bool
watch_dict(PyObject* dict)
{
    if (!have_dict_watcher()) {
        return false;
    }
    PyObject* exc = PyErr_GetRaisedException();
    bool watched = watcher_id >= 0 && PyDict_Watch(watcher_id, dict) == 0;
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return watched;
}

}  // namespace quorcache
