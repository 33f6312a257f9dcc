// Objects made once at import and kept for the life of the process, and the
// module namespace through which the methods find CacheType and friends.
#pragma once

#include <Python.h>

#include <cstdint>

#include "internals.hpp"
#include "ref.hpp"
#include "watch.hpp"

namespace quorcache {

inline constexpr Py_ssize_t SLOT_COUNT = 32;
inline constexpr std::int64_t PICKLE_CHECKSUM = 0xbd51cb4;
inline constexpr std::int64_t ACCEPTED_PICKLE_CHECKSUMS[] = {0xbd51cb4, 0xe95c4d5, 0xc883660};
inline constexpr const char MODULE_NAME[] = "quor_ui.fast.quorcache.quorcache";

// Interned, so every dictionary look-up with them reuses the stored hash.
struct Names {
    PyObject* value;
    PyObject* CacheType;
    PyObject* __members__;
    PyObject* values;
    PyObject* __dict__;
    PyObject* __pyx_unpickle_Cache;
    PyObject* __pyx_vtable__;
    PyObject* copy;
    PyObject* update;
    PyObject* __new__;
    PyObject* __name__;
    PyObject* __builtins__;
    PyObject* __test__;
    PyObject* Cache;
    PyObject* pickle;
    PyObject* PickleError;
    PyObject* enums_module;   // "quor_ui.core.enums"
    PyObject* module_name;    // "quor_ui.fast.quorcache.quorcache"
    // what the stock enum machinery is made of
    PyObject* enum_;          // "enum"
    PyObject* Enum;
    PyObject* EnumType;
    PyObject* property;
    PyObject* fget;
    PyObject* _value_;
    PyObject* _member_map_;
    PyObject* MappingProxyType;
    PyObject* __get__;
    PyObject* __getitem__;
    PyObject* __getattribute__;
    PyObject* __getattr__;
    PyObject* mro;
    // parameter names
    PyObject* type;
    PyObject* func;
    PyObject* blacklist;
    PyObject* whitelist;
    PyObject* memo;
    PyObject* __pyx_type;
    PyObject* __pyx_checksum;
    PyObject* __pyx_state;
};
extern Names names;

struct Constants {
    PyObject* empty_tuple;
    PyObject* empty_bytes;
    PyObject* empty_str;
    PyObject* checksum;           // PICKLE_CHECKSUM as an int
    PyObject* key_type_message;   // argument of subscription's TypeError
};
extern Constants consts;

// The module's globals and the builtins, taken by the execution step.
extern PyObject* g_module_dict;
extern PyObject* g_builtins;

int make_constants();

// Globals found in the module namespace, valid while no watched dict has changed
// since (watch.hpp): the watcher sees every change before it is made. The value is
// owned all the same: a watcher of another module that runs Python code between
// the event and the change (which the C API forbids) could have a value learnt
// just before the namespace lets go of it, and that must cost a stale answer at
// worst, never a freed object.
struct Remembered {
    PyObject* name;
    std::uint64_t generation;
    PyObject* value;  // owned; kept until the entry is used for another answer
};
extern Remembered remembered_globals[2];

Ref lookup_global_slow(PyObject* name);

// A global as module code sees it: the module namespace, then the builtins, else
// NameError. A new reference, or an empty Ref with the exception set. With
// `from_memory`, set to true when the answer was remembered, so no code ran.
inline Ref
lookup_global(PyObject* name, bool* from_memory = nullptr)
{
    for (const Remembered& r : remembered_globals) {
        if (r.name == name && r.generation == dict_generation) {
            if (from_memory != nullptr) {
                *from_memory = true;
            }
            return Ref::borrow(r.value);
        }
    }
    return lookup_global_slow(name);
}

}  // namespace quorcache
