// Objects made once at import and kept for the life of the process.
#pragma once

#include <Python.h>

#include <cstdint>

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
    PyObject* __test__;
    PyObject* Cache;
    PyObject* pickle;
    PyObject* PickleError;
    PyObject* enums_module;  // "quor_ui.core.enums"
    PyObject* module_name;  // "quor_ui.fast.quorcache.quorcache"
    // what the stock enum machinery is made of
    PyObject* enum_;  // "enum"
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
    // what the reserve of dead caches asks of sys.flags
    PyObject* sys;
    PyObject* flags;
    PyObject* dev_mode;
    PyObject* ignore_environment;
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
    PyObject* checksum;  // PICKLE_CHECKSUM as an int
    PyObject* key_type_message;  // argument of subscription's TypeError
};
extern Constants consts;

int make_constants();

}  // namespace quorcache
