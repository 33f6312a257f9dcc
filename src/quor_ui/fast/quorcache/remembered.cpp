#include "remembered.hpp"

#include "constants.hpp"

namespace quorcache {

std::uint64_t dict_generation = 1;
Remembered remembered;
PyObject* g_module_dict;
PyObject* g_builtins;

namespace {

int watcher_id = -1;  // the interpreter's; the module lives in one interpreter only
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
    // All taken is a RuntimeError; a MemoryError says nothing about the watchers.
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
    bool watched = PyDict_Watch(watcher_id, dict) == 0;
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return watched;
}

bool
str_keyed_and_watched(PyObject* map)
{
    Remembered& r = remembered;
    if (map == r.str_keyed_map.get() && r.str_keyed_map_fact.holds()) {
        return true;
    }
    if (!have_dict_watcher() || !only_str_keys(map) || !watch_dict(map)) {
        return false;
    }
    r.str_keyed_map.set(Ref::borrow(map));  // releasing the last one may move the generation
    r.str_keyed_map_fact.confirm();
    return true;
}

Ref
lookup_global_and_remember(PyObject* name)
{
    PyObject* found = PyDict_GetItemWithError(g_module_dict, name);
    if (found == nullptr) {
        if (!PyErr_Occurred()) {
            found = PyDict_GetItemWithError(PyModule_GetDict(g_builtins), name);
            if (found == nullptr && !PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            }
        }
        return Ref::borrow(found);
    }
    // With only str keys the look-up ran no code, so `found` is what the namespace
    // holds now; remembered only while the namespace is watched.
    Ref value = Ref::borrow(found);
    RememberedGlobal* entry = &remembered.globals[0];
    if (entry->name != name && entry->name != nullptr) {
        entry = &remembered.globals[1];
    }
    if (have_dict_watcher() && only_str_keys(g_module_dict) && watch_dict(g_module_dict)) {
        entry->name = name;
        entry->fact.confirm();
        entry->value.set(Ref::borrow(value.get()));  // may run code: the entry is whole
    }
    else if (entry->name == name) {
        entry->name = nullptr;  // nothing to remember: let go of the last answer
        entry->fact.forget();
        entry->value.set(Ref());
    }
    return value;
}

}  // namespace quorcache
