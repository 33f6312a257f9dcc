// Keys: a key's slot index, CacheType membership, a member by name. Each answer
// comes from the proven stock member map when there is one (enum_proof.hpp), else
// from the ordinary protocol, and each asks CacheType afresh from the module
// namespace at every use.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ref.hpp"

namespace quorcache {

// A key's slot index: its `value`, read afresh and converted at every use. 0, or
// -1 with the exception set.
int resolve_key(PyObject* key, std::int32_t* out);

// Entry `key` of `arr`, a slot list taken before the key was resolved: a new
// reference, or nullptr with the exception set.
PyObject* read_entry(PyObject* arr, PyObject* key);

// `key` is a member of CacheType (isinstance): 0, or -1 with TypeError (not a
// member) or another exception set.
int check_member_key(PyObject* key);

// `name in CacheType.__members__`, and the member it names when the proven stock
// map answered.
struct MemberName {
    int found = 0;  // 1, 0, or -1 with the exception set
    Ref enum_type;  // the CacheType asked
    Ref map;  // the proven stock map, str-keyed and watched, if it answered
    Ref member;  // its member of that name, when found in `map`
    std::uint64_t generation = 0;

    // `member` is still CacheType[name] now that the namespace gives `enum_type_now`
    // (`from_memory`: without running code): no watched dict changed, and
    // CacheType and its map are the ones asked. May ask for the map again.
    bool still_current(PyObject* enum_type_now, bool from_memory) const;
};
MemberName find_member_name(PyObject* name);

// CacheType[name]: a new reference, or nullptr with the exception set.
PyObject* member_named(PyObject* enum_type, PyObject* name);

// The slots of every CacheType member: list(CacheType.__members__.values()).
Ref default_whitelist();

}  // namespace quorcache
