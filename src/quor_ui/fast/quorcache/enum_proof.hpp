// The proof that the standard library's enum machinery is stock, and the shortcuts
// it allows. Each shortcut is taken only while everything the ordinary lookup
// would run is provably the stock code (the facts and their keys: remembered.hpp);
// otherwise the caller does the ordinary lookup.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace quorcache {

// key.value for a member of a stock enum: 1 and *out (a new reference) when read
// directly as key._value_, -1 if that read failed, 0 when the ordinary lookup is
// needed. May look at the enum machinery (first use, or after it changed) and
// learn where a key type keeps `_value_`.
int stock_member_value(PyObject* key, PyObject** out);

// The member map of `enum_type` (an exact dict, owned: a look-up in it can run a
// key's __eq__, which may drop the class's own reference) when
// `name in enum_type.__members__`, `enum_type[name]` and
// `enum_type.__members__.values()` are plain operations on it; empty otherwise,
// with nothing raised. May look at the enum machinery and remembers the map.
Ref stock_member_map(PyObject* enum_type);

}  // namespace quorcache
