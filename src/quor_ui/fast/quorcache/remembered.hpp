// Everything the module remembers between calls, and the dict watcher that retires it.
//
// Fact                           | Keyed on                               | Stale when
// -------------------------------+----------------------------------------+-------------------------------------
// module globals (2 names)       | name, dict generation                  | any watched dict changes
// member map proven str-keyed    | the map, dict generation               | any watched dict changes
// enum's MappingProxyType entry  | dict generation                        | any watched dict changes
// last enum class's member map   | the class + version tag                | the class or a base changes
// the stock enum machinery       | enum.property, EnumType + version tags | either changes (looked at again);
//   (captured objects)           |   and each object's identity and code  |   identity or code differ at a use
// enum machinery customised      | enum.property, EnumType + version tags | either changes (looked at again)
// stock key types (4)            | each type + version tag                | the type or a base changes
// where fget lives (inline)      | the descriptor's type + version tag    | that type changes
// where _value_ lives (inline,4) | each stock key type + version tag      | that type changes
// a subclass needing no hook     | the subclass + version tag             | the subclass or a base changes
// the dict watcher               | the interpreter (one per process)      | never; "all taken" kept for good
// the interpreter's hook, and    | the process                            | never (read at import)
//   object.__getattribute__      |                                        |
// dead caches kept for reuse     | nothing: reachable from nowhere else   | never; freed at finalization
//   (reserve.cpp, up to 16)      |   (untracked, lists of 32 None)        |   (and by the tests' drain)
// traceback code objects         | the reporting site (name and file      | never: code objects are immutable
//   (errors.cpp, up to 96)       |   literals' addresses, line)           |
//
// Soundness rules, relied on by every fact above:
// 1. A look-up over a dict whose keys are all exact str runs no code: comparing
//    exact str calls no __eq__ (internals.hpp: only_str_keys). So what a look-up
//    found is still what the dict holds when it returns.
// 2. Version tags are never reused, and any change of a type or of a base resets
//    its tag: a (type, tag) pair names one state of one type. A remembered type is
//    compared by address only, never followed, unless the object at hand has that
//    type with that tag (a new type at a dead one's address has another tag).
// 3. The watcher sees every event of a watched dict (item added, changed, deleted,
//    clear, update, the dict's deallocation) before the change is made and moves
//    `dict_generation`: a fact about a watched dict, remembered with the generation
//    it was true in, holds for as long as the generation is the same.
// Every object remembered is owned (`Held`), so that a watcher of another module
// that runs code between an event and its change (which the C API forbids) can
// cost a stale answer at worst, never a freed object.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "internals.hpp"
#include "ref.hpp"

namespace quorcache {

// ---- the dict watcher ------------------------------------------------------------

// Advanced by the watcher on every event of a watched dict; starts at 1.
extern std::uint64_t dict_generation;

// The module's dict watcher is registered (registering it now if it can be):
// false when every watcher of the interpreter was taken when asked (then for good:
// they are taken by extensions at import and hardly ever given back, and asking
// at every use would raise and clear a RuntimeError each time) or the
// registration failed otherwise (then asked again next time). Raises nothing.
bool have_dict_watcher();

// Watches `dict` (an exact dict): true once it is watched. False, with nothing
// raised, when there is no watcher or the dict could not be watched: then
// nothing may be remembered about it.
bool watch_dict(PyObject* dict);

// ---- validators ----------------------------------------------------------------------

// A fact about watched dicts, true in the generation it was confirmed in.
struct DictFact {
    std::uint64_t generation = 0;  // 0: never confirmed

    bool holds() const { return generation == dict_generation; }
    void confirm() { generation = dict_generation; }
    void forget() { generation = 0; }
};

// A fact about a type, true while the type keeps the version tag it had then.
struct TypeFact {
    PyTypeObject* type = nullptr;  // compared by address only (rule 2); set with a tag only
    unsigned int version = 0;

    bool holds_for(PyTypeObject* t) const { return t == type && version_tag(t) == version; }
    // Remembers `t` at its current tag; false (and nothing kept) when it has none.
    bool remember(PyTypeObject* t)
    {
        unsigned int tag = assign_version_tag(t);
        type = tag != 0 ? t : nullptr;
        version = tag;
        return tag != 0;
    }
};

// An owned reference kept between calls. Unlike Ref it has no destructor: it
// lives as long as the module, and the interpreter is gone at process exit.
class Held {
public:
    PyObject* get() const noexcept { return p_; }
    // Takes `value`, then releases the old object, whose finalizer may run code
    // that already sees the new one.
    void set(Ref value) noexcept { set_owned(p_, std::move(value)); }
    // Takes `value` and hands back the old object, to be released once whatever
    // is remembered along with it is whole again.
    [[nodiscard]] Ref exchange(Ref value) noexcept
    {
        return Ref::steal(std::exchange(p_, value.release()));
    }

private:
    PyObject* p_ = nullptr;
};

// ---- the facts ---------------------------------------------------------------------

// A global of the module namespace, remembered while no watched dict changed.
struct RememberedGlobal {
    PyObject* name = nullptr;  // interned, from `names`
    DictFact fact;
    Held value;
};

// The enum machinery found stock (see enum_proof.cpp), owned so that identities
// can't be reused.
struct StockMachinery {
    bool captured = false;
    Held value_descr;  // Enum.__dict__['value'], an enum.property
    TypeFact enum_property;  // enum.property, at the tag it had when captured
    Held enum_property_type;
    Held property_get;  // enum.property.__get__ and its code
    Held property_get_code;
    Held value_fget;  // the descriptor's fget, Enum.value's getter, and its code
    Held value_fget_code;
    TypeFact enum_type;  // EnumType, at the tag it had when captured
    Held enum_type_type;
    Held members_property;  // EnumType.__members__, a builtins.property
    Held members_fget;
    Held members_fget_code;
    Held getitem;  // EnumType.__getitem__ and its code
    Held getitem_code;
    Held enum_globals;  // enum's globals, where __members__ finds MappingProxyType
};

inline constexpr int STOCK_KEY_TYPES = 4;

struct Remembered {
    RememberedGlobal globals[2];
    // The last member map proven to hold str keys alone, and watched.
    Held str_keyed_map;
    DictFact str_keyed_map_fact;
    // enum's globals()['MappingProxyType'] is types.MappingProxyType.
    DictFact mapping_proxy_fact;
    // The last enum class asked about, and its member map.
    TypeFact member_map_class;
    Held member_map;
    StockMachinery stock;
    // enum.property and EnumType at the tags a look found them customised (either
    // may be empty: enum had no such class); the shortcuts stay off until they change.
    TypeFact customised_property;
    TypeFact customised_meta;
    Held customised_property_type;
    Held customised_meta_type;
    bool customised = false;
    // Key types whose `value` is the stock descriptor, and where their members keep
    // `_value_` in their inline values (internals.hpp: a fact about a type and its
    // tag); the oldest is replaced.
    TypeFact stock_key_types[STOCK_KEY_TYPES];
    InlineSlot value_slots[STOCK_KEY_TYPES];
    int next_stock_key_type = 0;
    // Where the value descriptor keeps fget in its inline values.
    InlineSlot fget_slot;
    // The last subclass found to need no member lookup of its own.
    TypeFact plain_subclass;
};

extern Remembered remembered;

// ---- module globals -------------------------------------------------------------------

// The module's globals and the builtins, set by the execution step.
extern PyObject* g_module_dict;
extern PyObject* g_builtins;

Ref lookup_global_and_remember(PyObject* name);

// A global as module code sees it: the module namespace, then the builtins, else
// NameError. A new reference, or an empty Ref with the exception set. With
// `from_memory`, set to true when the answer was remembered, so no code ran.
inline Ref
lookup_global(PyObject* name, bool* from_memory = nullptr)
{
    for (const RememberedGlobal& r : remembered.globals) {
        if (r.name == name && r.fact.holds()) {
            if (from_memory != nullptr) {
                *from_memory = true;
            }
            return Ref::borrow(r.value.get());
        }
    }
    return lookup_global_and_remember(name);
}

// `map` (an exact dict) holds exact str keys alone and is watched, so a look-up of
// a str in it runs no code and any change moves the generation. Watches it, and
// remembers the finding until a watched dict changes. False without a watcher.
bool str_keyed_and_watched(PyObject* map);

}  // namespace quorcache
