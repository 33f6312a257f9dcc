#include "watch.hpp"

namespace quorcache {

std::uint64_t dict_generation = 1;

namespace {

int watcher_id = -1;  // the interpreter's; the module lives in one interpreter only

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
watch_dict(PyObject* dict)
{
    PyObject* exc = PyErr_GetRaisedException();  // callers may hold a pending exception
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(on_dict_event);  // -1: all taken, or no memory
    }
    bool watched = watcher_id >= 0 && PyDict_Watch(watcher_id, dict) == 0;
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return watched;
}

}  // namespace quorcache
