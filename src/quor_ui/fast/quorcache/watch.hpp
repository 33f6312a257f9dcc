// Remembered facts about dicts, dropped the moment a dict they rest on changes.
//
// The module registers one dict watcher (PyDict_AddWatcher) with the interpreter
// and watches the few dicts its shortcuts rest on (the module namespace, the
// member map of the key enumeration, the enum module's globals). Every event on
// any of them (an item added, changed or deleted, a clear, an update, the dict's
// deallocation) advances `dict_generation` before the change is made, so a fact
// remembered together with the generation it was true in holds, with everything it
// borrows from the dict, for as long as the generation is the same.
#pragma once

#include <Python.h>

#include <cstdint>

namespace quorcache {

// Advanced by the watcher on every event of a watched dict.
extern std::uint64_t dict_generation;

// The module's dict watcher is registered (registering it now if it can be):
// false when every watcher of the interpreter is taken (then for good, see
// watch.cpp) or the registration failed (then asked again next time). Without
// it nothing about a dict can be remembered, so callers skip the checks that
// would only be worth making to remember something. Raises nothing.
bool have_dict_watcher();

// Watches `dict` (an exact dict): true once it is watched. False, with nothing
// raised, when no watcher could be registered or the dict not watched: then
// nothing may be remembered about it, and the next call tries again.
bool watch_dict(PyObject* dict);

}  // namespace quorcache
