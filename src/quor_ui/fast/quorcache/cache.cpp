// The Cache type: lifecycle, the internal operations, the Python-visible
// methods (pickling aside) and the type object.
#include "cache.hpp"

#include <cstdint>
#include <utility>

#include "binding.hpp"
#include "constants.hpp"
#include "enum_fast.hpp"
#include "errors.hpp"
#include "interpreter.hpp"
#include "watch.hpp"

namespace quorcache {

QuorCacheFunctions cache_functions;

namespace {

// Set at import (install_attribute_hook) and kept for the life of the process.
PyObject* cache_getattribute;   // the __getattribute__ wrapper readying made for cache_getattro
PyObject* object_getattribute;  // object.__getattribute__

CacheObject*
as_cache(PyObject* op)
{
    return reinterpret_cast<CacheObject*>(op);
}

// ---- helpers ---------------------------------------------------------------

// A key's slot index: its `value`, read afresh and converted at every use.
int
resolve_key(PyObject* key, std::int32_t* out)
{
    PyObject* direct;
    int fast = stock_member_value(key, &direct);
    Ref value = Ref::steal(fast != 0 ? direct : PyObject_GetAttr(key, names.value));
    if (!value) {
        return -1;
    }
    // An exact int of one digit (below 2**30 in size; every slot index is one) is
    // read here, without a call.
    const auto* v = reinterpret_cast<const PyLongObject*>(value.get());
    if (PyLong_CheckExact(value.get()) && PyUnstable_Long_IsCompact(v)) {
        *out = static_cast<std::int32_t>(PyUnstable_Long_CompactValue(v));
        return 0;
    }
    return to_int32(value.get(), out);
}

// Entry k of a slot list, or nullptr with IndexError set: the one bounds check
// that every slot access goes through, so nothing outside a list is ever touched.
PyObject**
entry_at(PyObject* list, Py_ssize_t k)
{
    if (k < 0 || k >= SLOT_COUNT || k >= PyList_GET_SIZE(list)) {
        raise_bad_index(k);
        return nullptr;
    }
    return &reinterpret_cast<PyListObject*>(list)->ob_item[k];
}

// Entry k of the instance's current slot list; nullptr with TypeError (no list)
// or IndexError set.
PyObject**
slot_at(CacheObject* self, Py_ssize_t k)
{
    if (self->cache_arr == Py_None) {
        raise_no_slots();
        return nullptr;
    }
    return entry_at(self->cache_arr, k);
}

// Stores a new reference to `value` in *slot, then releases the old entry, whose
// finalizer may already read the new one (or replace the whole list).
void
store(PyObject** slot, PyObject* value)
{
    PyObject* old = *slot;
    *slot = Py_NewRef(value);
    Py_DECREF(old);
}

Ref
make_slot_list()
{
    PyObject* list = PyList_New(SLOT_COUNT);
    if (list == nullptr) {
        return {};
    }
    for (Py_ssize_t i = 0; i < SLOT_COUNT; ++i) {
        PyList_SET_ITEM(list, i, Py_NewRef(Py_None));
    }
    return Ref::steal(list);
}

// Fails with IndexError, naming the first slot that clearing would touch beyond a
// list that a pickle state made shorter than 32 entries. `picked` null: every slot.
int
check_reach(CacheObject* self, const bool* picked)
{
    PyObject* arr = self->cache_arr;
    if (arr == Py_None) {
        return 0;  // the first slot touched reports it
    }
    for (Py_ssize_t i = PyList_GET_SIZE(arr); i < SLOT_COUNT; ++i) {
        if (picked == nullptr || picked[i]) {
            raise_bad_index(i);
            return -1;
        }
    }
    return 0;
}

// ---- lifecycle -------------------------------------------------------------

// Member names reach the slots before a subclass's own __getattr__: Cache's
// lookup (attributes, then members) goes into the subclass as its
// __getattribute__, where Cache's own used to be found: unless a class before
// Cache in the subclass's MRO states one of its own (object's included), or the
// subclass is immutable. A mixin after Cache so still comes after Cache's lookup.
// Idempotent: a failure is retried at the next instance.
int
give_member_lookup(PyTypeObject* type)
{
    if (cache_getattribute == nullptr || (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE)
        || _PyType_Lookup(type, names.__getattribute__) == cache_getattribute) {
        return 0;
    }
    Ref mro = Ref::borrow(type->tp_mro);  // held: a look-up below may run a key's __eq__
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        if (base == &cache_type) {
            break;
        }
        Ref dict = Ref::steal(PyType_GetDict(base));
        int own = dict ? PyDict_Contains(dict.get(), names.__getattribute__) : -1;
        if (own != 0) {
            return own;  // -1 on error; 1: the class states its own
        }
    }
    // type's own setattr, not a metaclass's: this is plumbing, not a user's assignment.
    // It updates the slots of the type and of its subclasses.
    return PyType_Type.tp_setattro(reinterpret_cast<PyObject*>(type), names.__getattribute__,
                                   cache_getattribute);
}

PyObject*
cache_alloc(PyTypeObject* type)
{
    PyObject* op;
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {  // object's new refuses it for us
        op = PyBaseObject_Type.tp_new(type, consts.empty_tuple, nullptr);
    }
    else if (type != &cache_type && give_member_lookup(type) < 0) {
        return nullptr;
    }
    else {
        op = type->tp_alloc(type, 0);
    }
    if (op == nullptr) {
        return nullptr;
    }
    as_cache(op)->vtab = &cache_functions;
    as_cache(op)->cache_arr = Py_NewRef(Py_None);
    return op;
}

PyObject*
cache_new(PyTypeObject* type, PyObject*, PyObject*)
{
    return cache_alloc(type);
}

// The body of __init__ once its arguments are refused: a fresh list of 32 empty slots.
int
reinit(CacheObject* self)
{
    Ref fresh = make_slot_list();
    if (!fresh) {
        add_traceback("Cache.__init__");
        return -1;
    }
    // Store first, release second: dropping the old list can run a __del__ that reads cache_arr.
    set_owned(self->cache_arr, std::move(fresh));
    return 0;
}

int
cache_init(PyObject* op, PyObject* args, PyObject* kwds)
{
    if (bind_none("__init__", PyTuple_GET_SIZE(args), nullptr) < 0) {
        return -1;
    }
    if (kwds != nullptr && PyDict_GET_SIZE(kwds) > 0) {
        Py_ssize_t pos = 0;
        PyObject* first;
        PyDict_Next(kwds, &pos, &first, nullptr);
        raise_unexpected_keyword("__init__", first);
        return -1;
    }
    return reinit(as_cache(op));
}

// callable(*args, **dict(zip(kwnames, args[nargs:]))) through its type's tp_call, as
// the interpreter calls an object without a vectorcall of its own.
PyObject*
call_via_tp_call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (call == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callable)->tp_name);
        return nullptr;
    }
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    }
    Ref kwargs;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                return nullptr;
            }
        }
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject* result = call(callable, tuple.get(), kwargs.get());
    Py_LeaveRecursiveCall();
    return result;
}

// Cache(...) with no argument tuple or keyword dictionary built.
PyObject*
cache_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (type != reinterpret_cast<PyObject*>(&cache_type)) {  // not inherited; just in case
        return call_via_tp_call(type, args, nargs, kwnames);
    }
    Ref self = Ref::steal(cache_alloc(&cache_type));
    if (!self) {
        return nullptr;
    }
    if (bind_none("__init__", nargs, kwnames) < 0 || reinit(as_cache(self.get())) < 0) {
        return nullptr;
    }
    return self.release();
}

int
cache_traverse(PyObject* op, visitproc visit, void* arg)
{
    Py_VISIT(as_cache(op)->cache_arr);
    return 0;
}

int
cache_tp_clear(PyObject* op)
{
    // None goes in before the list goes out, so code run by the release finds None.
    set_owned(as_cache(op)->cache_arr, Ref::borrow(Py_None));
    return 0;
}

void
cache_dealloc(PyObject* op)
{
    PyTypeObject* type = Py_TYPE(op);
    if (type->tp_finalize != nullptr && !PyObject_GC_IsFinalized(op)
        && type->tp_dealloc == cache_dealloc) {
        if (PyObject_CallFinalizerFromDealloc(op) < 0) {
            return;  // resurrected
        }
    }
    PyObject_GC_UnTrack(op);
    Py_CLEAR(as_cache(op)->cache_arr);
    type->tp_free(op);
}

// ---- internal operations, in function-table order ----------------------------

void
c_clear(CacheObject* self)
{
    if (check_reach(self, nullptr) < 0) {
        add_traceback("Cache.c_clear");
        return;
    }
    for (Py_ssize_t i = 0; i < SLOT_COUNT; ++i) {
        // A released entry's finalizer may have replaced the list: look it up each time.
        PyObject** slot = slot_at(self, i);
        if (slot == nullptr) {
            add_traceback("Cache.c_clear");
            return;
        }
        store(slot, Py_None);
    }
}

// Marks flags[idx] for each item of `keys` whose value lies in 0..31.
int
mark_keys(PyObject* keys, int (&flags)[SLOT_COUNT])
{
    if (keys == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return -1;
    }
    Ref hold = Ref::borrow(keys);
    // A `value` property may change the list under us: re-read its length each time.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(keys, i));
        std::int32_t idx;
        if (resolve_key(item.get(), &idx) < 0) {
            return -1;
        }
        if (idx >= 0 && idx < SLOT_COUNT) {
            flags[idx] = 1;
        }
    }
    return 0;
}

void
c_clear_selected(CacheObject* self, PyObject* blacklist, PyObject* whitelist)
{
    int bl[SLOT_COUNT] = {};
    int wl[SLOT_COUNT] = {};
    if (mark_keys(blacklist, bl) < 0 || mark_keys(whitelist, wl) < 0) {
        add_traceback("Cache.c_clear_selected");
        return;
    }
    bool picked[SLOT_COUNT];
    for (Py_ssize_t i = 0; i < SLOT_COUNT; ++i) {
        picked[i] = !bl[i] && wl[i];  // the blacklist wins
    }
    if (check_reach(self, picked) < 0) {
        add_traceback("Cache.c_clear_selected");
        return;
    }
    for (Py_ssize_t i = 0; i < SLOT_COUNT; ++i) {
        if (!picked[i]) {
            continue;
        }
        PyObject** slot = slot_at(self, i);
        if (slot == nullptr) {
            add_traceback("Cache.c_clear_selected");
            return;
        }
        store(slot, Py_None);
    }
}

PyObject*
c_get(CacheObject* self, std::int32_t type_idx)
{
    PyObject** slot = slot_at(self, type_idx);
    if (slot == nullptr) {
        add_traceback("Cache.c_get");
        return nullptr;
    }
    return Py_NewRef(*slot);
}

// c_set with its failure reported as -1 as well, for callers that would
// otherwise have to ask whether an exception is pending.
int
set_impl(CacheObject* self, std::int32_t type_idx, PyObject* value)
{
    PyObject** slot = slot_at(self, type_idx);
    if (slot == nullptr) {
        add_traceback("Cache.c_set");
        return -1;
    }
    store(slot, value);
    return 0;
}

void
c_set(CacheObject* self, std::int32_t type_idx, PyObject* value)
{
    set_impl(self, type_idx, value);
}

PyObject*
c_get_or_set_val(CacheObject* self, std::int32_t type_idx, PyObject* value)
{
    PyObject** slot = slot_at(self, type_idx);
    if (slot == nullptr) {
        add_traceback("Cache.c_get_or_set_val");
        return nullptr;
    }
    if (*slot != Py_None) {
        return Py_NewRef(*slot);
    }
    store(slot, value);
    slot = slot_at(self, type_idx);  // the release above may have run code
    if (slot == nullptr) {
        add_traceback("Cache.c_get_or_set_val");
        return nullptr;
    }
    return Py_NewRef(*slot);
}

PyObject*
c_get_or_exec(CacheObject* self, std::int32_t type_idx, PyObject* func)
{
    PyObject** slot = slot_at(self, type_idx);
    if (slot == nullptr) {
        add_traceback("Cache.c_get_or_exec");
        return nullptr;
    }
    if (*slot != Py_None) {
        return Py_NewRef(*slot);
    }
    Ref result = Ref::steal(PyMethod_Check(func)
                                ? PyObject_CallOneArg(PyMethod_GET_FUNCTION(func),
                                                      PyMethod_GET_SELF(func))
                                : PyObject_CallNoArgs(func));
    if (!result) {
        add_traceback("Cache.c_get_or_exec");
        return nullptr;
    }
    // func() may have replaced or cleared the list; never reuse a pointer read before the call.
    slot = slot_at(self, type_idx);
    if (slot == nullptr) {
        add_traceback("Cache.c_get_or_exec");
        return nullptr;
    }
    // The slot takes its own reference; ours keeps the result alive while the
    // old object's finalizer runs, and goes only after it.
    PyObject* old = *slot;
    *slot = Py_NewRef(result.get());
    Py_DECREF(old);
    result = Ref();
    slot = slot_at(self, type_idx);
    if (slot == nullptr) {
        add_traceback("Cache.c_get_or_exec");
        return nullptr;
    }
    return Py_NewRef(*slot);
}

PyObject*
new_cache()
{
    Ref self = Ref::steal(cache_alloc(&cache_type));
    Ref fresh = self ? make_slot_list() : Ref();
    if (!fresh) {
        add_traceback("Cache.new");
        return nullptr;
    }
    set_owned(as_cache(self.get())->cache_arr, std::move(fresh));
    return self.release();
}

// ---- methods, in method-table order --------------------------------------------

PyObject* const* const type_param[] = {&names.type};
PyObject* const* const type_value_params[] = {&names.type, &names.value};
PyObject* const* const type_func_params[] = {&names.type, &names.func};
PyObject* const* const list_params[] = {&names.blacklist, &names.whitelist};
PyObject* const* const memo_param[] = {&names.memo};

const Signature clear_selected_sig = {"clear_selected", list_params, 2, 0};
const Signature get_sig = {"get", type_param, 1, 1};
const Signature set_sig = {"set", type_value_params, 2, 2};
const Signature get_or_set_val_sig = {"get_or_set_val", type_value_params, 2, 2};
const Signature get_or_exec_sig = {"get_or_exec", type_func_params, 2, 2};
const Signature deepcopy_sig = {"__deepcopy__", memo_param, 1, 1};

PyObject*
cache_clear(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames)
{
    if (bind_none("clear", nargs, kwnames) < 0) {
        return nullptr;
    }
    c_clear(as_cache(op));
    if (PyErr_Occurred()) {
        add_traceback("Cache.clear");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// A false key list (None, [], (), 0, ...) becomes `fallback()`; a true one stays.
template <typename Fallback>
int
normalise(Ref& keys, Fallback fallback)
{
    int truth = PyObject_IsTrue(keys.get());
    if (truth < 0) {
        return -1;
    }
    if (!truth) {
        keys = fallback();
        if (!keys) {
            return -1;
        }
    }
    return 0;
}

// The slots of every CacheType member: list(CacheType.__members__.values()).
Ref
default_whitelist()
{
    Ref cache_type_enum = lookup_global(names.CacheType);
    if (!cache_type_enum) {
        return {};
    }
    if (Ref map = stock_member_map(cache_type_enum.get())) {
        return Ref::steal(PyDict_Values(map.get()));
    }
    Ref members = Ref::steal(PyObject_GetAttr(cache_type_enum.get(), names.__members__));
    if (!members) {
        return {};
    }
    Ref values = Ref::steal(PyObject_CallMethodNoArgs(members.get(), names.values));
    if (!values) {
        return {};
    }
    return Ref::steal(PySequence_List(values.get()));
}

PyObject*
cache_clear_selected(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    Ref cells[2];
    if (bind(clear_selected_sig, args, nargs, kwnames, cells) < 0
        || normalise(cells[0], [] { return Ref::steal(PyList_New(0)); }) < 0
        || normalise(cells[1], default_whitelist) < 0) {
        add_traceback("Cache.clear_selected");
        return nullptr;
    }
    for (const Ref& keys : cells) {
        if (!PyList_CheckExact(keys.get())) {
            raise_expected("list", keys.get());
            add_traceback("Cache.clear_selected");
            return nullptr;
        }
    }
    c_clear_selected(as_cache(op), cells[0].get(), cells[1].get());
    if (PyErr_Occurred()) {
        add_traceback("Cache.clear_selected");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject*
cache_get(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    Ref cells[1];
    if (bind(get_sig, args, nargs, kwnames, cells) < 0) {
        add_traceback("Cache.get");
        return nullptr;
    }
    if (cells[0].get() == Py_None) {
        refuse_none("type");
        return nullptr;
    }
    std::int32_t k;
    PyObject* result = resolve_key(cells[0].get(), &k) < 0 ? nullptr : c_get(as_cache(op), k);
    if (result == nullptr) {
        add_traceback("Cache.get");
    }
    return result;
}

PyObject*
cache_set(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    Ref cells[2];
    std::int32_t k;
    if (bind(set_sig, args, nargs, kwnames, cells) < 0 || resolve_key(cells[0].get(), &k) < 0) {
        add_traceback("Cache.set");
        return nullptr;
    }
    if (set_impl(as_cache(op), k, cells[1].get()) < 0) {
        add_traceback("Cache.set");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject*
cache_get_or_set_val(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    Ref cells[2];
    std::int32_t k;
    PyObject* result = nullptr;
    if (bind(get_or_set_val_sig, args, nargs, kwnames, cells) == 0
        && resolve_key(cells[0].get(), &k) == 0) {
        result = c_get_or_set_val(as_cache(op), k, cells[1].get());
    }
    if (result == nullptr) {
        add_traceback("Cache.get_or_set_val");
    }
    return result;
}

PyObject*
cache_get_or_exec(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    Ref cells[2];
    if (bind(get_or_exec_sig, args, nargs, kwnames, cells) < 0) {
        add_traceback("Cache.get_or_exec");
        return nullptr;
    }
    if (cells[0].get() == Py_None) {
        refuse_none("type");
        return nullptr;
    }
    if (cells[1].get() == Py_None) {
        refuse_none("func");
        return nullptr;
    }
    std::int32_t k;
    PyObject* result = resolve_key(cells[0].get(), &k) < 0
                           ? nullptr
                           : c_get_or_exec(as_cache(op), k, cells[1].get());
    if (result == nullptr) {
        add_traceback("Cache.get_or_exec");
    }
    return result;
}

// Entry k of `arr`, a slot list taken before the key was resolved.
PyObject*
read_entry(PyObject* arr, PyObject* key)
{
    std::int32_t k;
    if (resolve_key(key, &k) < 0) {
        return nullptr;
    }
    PyObject** entry = entry_at(arr, k);
    return entry != nullptr ? Py_NewRef(*entry) : nullptr;
}

// `name in CacheType.__members__`: 1, 0, or -1 with the exception set. The map is
// owned across the look-up, whose key comparisons may replace the class's map.
int
is_member_name(PyObject* enum_type, PyObject* name)
{
    if (Ref map = stock_member_map(enum_type)) {
        return PyDict_Contains(map.get(), name);
    }
    Ref members = Ref::steal(PyObject_GetAttr(enum_type, names.__members__));
    return members ? PySequence_Contains(members.get(), name) : -1;
}

// CacheType[name]: a new reference, or nullptr with the exception set.
PyObject*
member_named(PyObject* enum_type, PyObject* name)
{
    if (Ref map = stock_member_map(enum_type)) {
        PyObject* member = PyDict_GetItemWithError(map.get(), name);
        if (member != nullptr) {
            return Py_NewRef(member);  // owned before anything else can run
        }
        if (!PyErr_Occurred()) {
            raise_with_arg(PyExc_KeyError, name);
        }
        return nullptr;
    }
    return PyObject_GetItem(enum_type, name);
}

// Every key of `map` is an exact str, so looking a str (or None) up in it runs no
// code, and `map` is watched, so `dict_generation` moves before it changes
// (watch.hpp). Checked again only after a watched dict changed; false when the map
// can't be watched now, to be tried again next time.
bool
str_keyed(PyObject* map)
{
    static PyObject* checked_map;  // only compared: a freed watched map moves the generation
    static std::uint64_t checked_generation;
    if (map == checked_map && checked_generation == dict_generation) {
        return true;
    }
    if (!only_str_keys(map) || !watch_dict(map)) {
        return false;
    }
    checked_map = map;
    checked_generation = dict_generation;
    return true;
}

// `absent` non-null: a name that is no member leaves *absent true and nothing
// raised, instead of the AttributeError.
PyObject*
getattr_impl(CacheObject* self, PyObject* name, bool* absent = nullptr)
{
    Ref enum_type = lookup_global(names.CacheType);
    if (!enum_type) {
        return nullptr;
    }
    // With a stock member map keyed by str alone, the membership test already finds
    // the member that CacheType[name] gives, as long as nothing changed in between:
    // neither look-up can run code.
    Ref map = stock_member_map(enum_type.get());
    if (map && !str_keyed(map.get())) {
        map = Ref();
    }
    Ref member;
    std::uint64_t map_generation = 0;
    int found;
    if (map) {
        member = Ref::borrow(PyDict_GetItemWithError(map.get(), name));
        found = member ? 1 : PyErr_Occurred() ? -1 : 0;
        map_generation = dict_generation;
    }
    else {
        found = is_member_name(enum_type.get(), name);
    }
    if (found < 0) {
        return nullptr;
    }
    if (!found) {
        if (absent != nullptr) {
            *absent = true;
            return nullptr;
        }
        // The bare name is the exception's only argument; name and obj stay unset.
        raise_with_arg(PyExc_AttributeError, name);
        return nullptr;
    }
    Ref arr = Ref::borrow(self->cache_arr);
    if (arr.get() == Py_None) {
        raise_no_slots();
        return nullptr;
    }
    bool remembered = false;
    Ref again = lookup_global(names.CacheType, &remembered);  // `in` above may have run code
    if (!again) {
        return nullptr;
    }
    // Nothing at all ran since the membership test when CacheType came from memory
    // and no watched dict changed: then the member found is the one to read.
    bool unchanged = map && remembered && dict_generation == map_generation
                     && again.get() == enum_type.get();
    if (!unchanged
        && (!map || again.get() != enum_type.get() || stock_member_map(again.get()).get() != map.get()
            || dict_generation != map_generation)) {
        member = Ref::steal(member_named(again.get(), name));
        if (!member) {
            return nullptr;
        }
    }
    return read_entry(arr.get(), member.get());
}

PyObject*
cache___getattr__(PyObject* op, PyObject* name)
{
    if (name != Py_None && !PyUnicode_CheckExact(name)) {
        refuse_type("type", &PyUnicode_Type, name);
        return nullptr;
    }
    PyObject* result = getattr_impl(as_cache(op), name);
    if (result == nullptr) {
        add_traceback("Cache.__getattr__");
    }
    return result;
}

PyObject*
cache_copy(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames)
{
    if (bind_none("copy", nargs, kwnames) < 0) {
        return nullptr;
    }
    // Always the type made at import, whatever type(self) or the module attribute is.
    // Cache() would run nothing but our own new and __init__, and the 32 empty
    // slots __init__ makes are replaced below before anything can see them, so
    // allocate the instance and go straight to its list.
    Ref copy = Ref::steal(cache_alloc(&cache_type));
    if (!copy) {
        add_traceback("Cache.copy");
        return nullptr;
    }
    PyObject* arr = as_cache(op)->cache_arr;
    if (arr == Py_None) {
        raise_no_slots();
        add_traceback("Cache.copy");
        return nullptr;
    }
    Ref slots = Ref::steal(PyList_GetSlice(arr, 0, PY_SSIZE_T_MAX));
    if (!slots) {
        add_traceback("Cache.copy");
        return nullptr;
    }
    set_owned(as_cache(copy.get())->cache_arr, std::move(slots));
    return copy.release();
}

PyObject*
cache___deepcopy__(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    Ref cells[1];
    PyObject* result = nullptr;
    if (bind(deepcopy_sig, args, nargs, kwnames, cells) == 0) {
        // By name, so that a subclass's own copy() is the one used. An exact Cache
        // has no instance dict and an immutable type: its copy is this module's.
        result = Py_IS_TYPE(op, &cache_type) ? cache_copy(op, nullptr, 0, nullptr)
                                              : PyObject_CallMethodNoArgs(op, names.copy);
    }
    if (result == nullptr) {
        add_traceback("Cache.__deepcopy__");
    }
    return result;
}

// ---- protocol slots ------------------------------------------------------------

PyObject*
getitem_impl(CacheObject* self, PyObject* key)
{
    Ref enum_type = lookup_global(names.CacheType);
    if (!enum_type) {
        return nullptr;
    }
    int member = PyObject_IsInstance(key, enum_type.get());
    if (member < 0) {
        return nullptr;
    }
    if (!member) {
        PyErr_SetObject(PyExc_TypeError, consts.key_type_message);
        return nullptr;
    }
    Ref arr = Ref::borrow(self->cache_arr);
    if (arr.get() == Py_None) {
        raise_no_slots();
        return nullptr;
    }
    return read_entry(arr.get(), key);
}

PyObject*
cache_getitem(PyObject* op, PyObject* key)
{
    PyObject* result = getitem_impl(as_cache(op), key);
    if (result == nullptr) {
        add_traceback("Cache.__getitem__");
    }
    return result;
}

// cache[i] for an int i, through whatever subscript the instance's type has.
PyObject*
cache_sq_item(PyObject* op, Py_ssize_t i)
{
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index) {
        return nullptr;
    }
    PyMappingMethods* mapping = Py_TYPE(op)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_subscript == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(op)->tp_name);
        return nullptr;
    }
    return mapping->mp_subscript(op, index.get());
}

}  // namespace

// The attribute lookup with the AttributeError of a missing name reported as 0 and
// nothing raised; when the name is neither the type's nor a member of an exact
// Cache, that error is never made. 1 with *out a new reference, or -1.
int
cache_lookup_attr(PyObject* op, PyObject* name, PyObject** out)
{
    *out = nullptr;
    if (Py_IS_TYPE(op, &cache_type) && PyUnicode_CheckExact(name)
        && _PyType_Lookup(&cache_type, name) == nullptr) {
        bool absent = false;
        *out = getattr_impl(as_cache(op), name, &absent);
        if (*out != nullptr) {
            return 1;
        }
        if (absent) {
            return 0;
        }
        add_traceback("Cache.__getattr__");
    }
    else {
        *out = PyObject_GetAttr(op, name);
        if (*out != nullptr) {
            return 1;
        }
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

namespace {

// Cache's attribute lookup before the interpreter's own hook took over (see
// install_attribute_hook): attributes first, then a member name. Reached through
// the __getattribute__ wrapper that subclasses get, or as Cache's own hook if the
// interpreter's could not be found.
PyObject*
cache_getattro(PyObject* op, PyObject* name)
{
    // An exact Cache has no instance dictionary, so the generic lookup comes down
    // to what its type has: bind that here, and for a name the type doesn't have
    // skip raising and clearing the AttributeError the generic lookup would.
    if (Py_IS_TYPE(op, &cache_type) && PyUnicode_CheckExact(name)) {
        PyObject* found = _PyType_Lookup(&cache_type, name);
        if (found == nullptr) {
            return cache___getattr__(op, name);
        }
        descrgetfunc get = Py_TYPE(found)->tp_descr_get;
        if (get == nullptr) {
            return Py_NewRef(found);
        }
        Ref held = Ref::borrow(found);
        PyObject* bound = get(found, op, reinterpret_cast<PyObject*>(&cache_type));
        if (bound != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return bound;
        }
        PyErr_Clear();
        return cache___getattr__(op, name);
    }
    // The generic lookup, a missing name reported as a null result with nothing
    // raised (the interpreter's own hook asks it the same way; 3.12 and 3.13 have
    // this entry point in their unstable C API, cpython/object.h).
    PyObject* found = _PyObject_GenericGetAttrWithDict(op, name, nullptr, 1);
    if (found != nullptr || PyErr_Occurred()) {
        return found;
    }
    return cache___getattr__(op, name);
}

// ---- tables ----------------------------------------------------------------------

template <typename F>
PyCFunction
as_cfunction(F* f)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

// Each entry's doc is a text signature and nothing else: __doc__ stays None, while
// __text_signature__, inspect.signature and help() show the parameters as the binder takes
// them (by position or by keyword; __getattr__'s one argument by position only).
PyMethodDef cache_methods[] = {
    {"clear", as_cfunction(cache_clear), FASTCALL, "clear($self, /)\n--\n\n"},
    {"clear_selected", as_cfunction(cache_clear_selected), FASTCALL,
     "clear_selected($self, /, blacklist=None, whitelist=None)\n--\n\n"},
    {"get", as_cfunction(cache_get), FASTCALL, "get($self, /, type)\n--\n\n"},
    {"set", as_cfunction(cache_set), FASTCALL, "set($self, /, type, value)\n--\n\n"},
    {"get_or_set_val", as_cfunction(cache_get_or_set_val), FASTCALL,
     "get_or_set_val($self, /, type, value)\n--\n\n"},
    {"get_or_exec", as_cfunction(cache_get_or_exec), FASTCALL,
     "get_or_exec($self, /, type, func)\n--\n\n"},
    {"__getattr__", cache___getattr__, METH_O | METH_COEXIST,
     "__getattr__($self, type, /)\n--\n\n"},
    {"copy", as_cfunction(cache_copy), FASTCALL, "copy($self, /)\n--\n\n"},
    {"__deepcopy__", as_cfunction(cache___deepcopy__), FASTCALL,
     "__deepcopy__($self, /, memo)\n--\n\n"},
    {"__reduce__", as_cfunction(cache___reduce__), FASTCALL, "__reduce__($self, /)\n--\n\n"},
    {"__setstate__", as_cfunction(cache___setstate__), FASTCALL,
     "__setstate__($self, /, __pyx_state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods cache_as_sequence = {
    .sq_item = cache_sq_item,
};

PyMappingMethods cache_as_mapping = {
    .mp_subscript = cache_getitem,
};

}  // namespace

void
fill_cache_functions()
{
    cache_functions = {
        .c_clear = c_clear,
        .c_clear_selected = c_clear_selected,
        .c_get = c_get,
        .c_set = c_set,
        .c_get_or_set_val = c_get_or_set_val,
        .c_get_or_exec = c_get_or_exec,
        .new_cache = new_cache,
    };
}

int
install_attribute_hook()
{
    if (cache_getattribute != nullptr) {
        return 0;  // a retried import: done by the first one
    }
    if constexpr (!interp::shortcuts) {
        return 0;  // an interpreter whose hook and specializer were not checked: our own hook
    }
    // The interpreter's own hook for classes with __getattr__ (typeobject.c's
    // slot_tp_getattr_hook, not exported): the generic lookup, asked without
    // raising when __getattribute__ is object's, then type(self).__getattr__ called
    // through the method descriptor's vectorcall, with no bound method. The
    // interpreter's specializer accepts only it and the generic lookup as
    // tp_getattro (specialize.c, analyze_descriptor), so only with it do method
    // calls on a Cache skip the bound method. A throw-away class with
    // __getattr__ gets it as its tp_getattro.
    Ref body = Ref::steal(PyDict_New());
    if (!body || PyDict_SetItemString(body.get(), "__getattr__", Py_None) < 0) {
        return -1;
    }
    Ref probe = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type),
                                                 "s(O)O", "probe", &PyBaseObject_Type, body.get()));
    if (!probe) {
        return -1;
    }
    getattrofunc hook = reinterpret_cast<PyTypeObject*>(probe.get())->tp_getattro;
    object_getattribute = _PyType_Lookup(&PyBaseObject_Type, names.__getattribute__);
    PyObject* wrapper = PyDict_GetItemWithError(cache_type.tp_dict, names.__getattribute__);
    if (wrapper == nullptr || object_getattribute == nullptr || hook == nullptr
        || hook == PyObject_GenericGetAttr || hook == cache_getattro) {
        // Not the interpreter we know: keep our own hook, with bound methods.
        return PyErr_Occurred() ? -1 : 0;
    }
    Py_INCREF(object_getattribute);  // object's, for good
    Ref held = Ref::borrow(wrapper);
    // With it gone, Cache.__getattribute__ is object's, which is what the
    // specializer (by identity) and the hook (to use the generic lookup) look for.
    if (PyDict_DelItem(cache_type.tp_dict, names.__getattribute__) < 0) {
        return -1;
    }
    cache_type.tp_getattro = hook;
    PyType_Modified(&cache_type);
    cache_getattribute = held.release();
    return 0;
}

// ---- the type object ---------------------------------------------------------------

PyTypeObject cache_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quor_ui.fast.quorcache.quorcache.Cache",
    .tp_basicsize = sizeof(CacheObject),
    .tp_dealloc = cache_dealloc,  // static type: no decref of the type
    .tp_as_sequence = &cache_as_sequence,
    .tp_as_mapping = &cache_as_mapping,
    .tp_getattro = cache_getattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_BASETYPE
                | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = cache_traverse,  // visits cache_arr only
    .tp_clear = cache_tp_clear,
    .tp_methods = cache_methods,
    .tp_init = cache_init,
    .tp_new = cache_new,
    .tp_vectorcall = cache_vectorcall,  // Cache(...) without an argument tuple
};

}  // namespace quorcache
