// The Cache type: lifecycle, the internal operations, the Python-visible
// methods (pickling aside) and the type object.
#include "cache.hpp"

#include <cassert>
#include <cstdint>
#include <source_location>
#include <utility>

#include "attributes.hpp"
#include "binding.hpp"
#include "constants.hpp"
#include "errors.hpp"
#include "keys.hpp"

namespace quorcache {

QuorCacheFunctions cache_functions;

namespace {

CacheObject*
as_cache(PyObject* op)
{
    return reinterpret_cast<CacheObject*>(op);
}

// ---- helpers ---------------------------------------------------------------

}  // namespace

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

namespace {

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

PyObject*
cache_alloc(PyTypeObject* type)
{
    PyObject* op;
    if (type == &cache_type) {
        op = type->tp_alloc(type, 0);
    }
    else if (install_member_lookup_where_needed(type) < 0) {
        return nullptr;
    }
    else {
        // object's new refuses an abstract class for us, and gives a subclass's
        // instance the inline values under which the interpreter specialises its
        // attribute and method loads.
        op = PyBaseObject_Type.tp_new(type, consts.empty_tuple, nullptr);
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

// Cache(...) with no argument tuple or keyword dictionary built.
PyObject*
cache_vectorcall(PyObject* type, PyObject* const*, size_t nargsf, PyObject* kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // tp_vectorcall is never inherited: only a slot overwritten by hand brings another type here.
    assert(type == reinterpret_cast<PyObject*>(&cache_type));
    (void)type;
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
    Ref result = Ref::steal(PyMethod_Check(func) ? PyObject_CallOneArg(PyMethod_GET_FUNCTION(func),
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

// The shape of the four keyed methods: bind the arguments, refuse None for the
// parameters `refused_none` marks (bit i: parameter i; these refusals add no
// traceback entry, as the binder's own), resolve the key, run `op(k, cells)`;
// a failure of the binding or after the refusals adds the method's entry.
// Traceback entries point at the method's own line (`where`).
template <std::size_t N, unsigned refused_none, typename Op>
PyObject*
keyed_call(const char* qualname, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
           PyObject* kwnames, Op op, std::source_location where = std::source_location::current())
{
    Ref cells[N];
    if (bind(sig, args, nargs, kwnames, cells) < 0) {
        add_traceback(qualname, where);
        return nullptr;
    }
    for (std::size_t i = 0; i < N; ++i) {
        if ((refused_none >> i & 1U) != 0 && cells[i].get() == Py_None) {
            refuse_none(PyUnicode_AsUTF8(*sig.params[i]));
            return nullptr;
        }
    }
    std::int32_t k;
    PyObject* result = resolve_key(cells[0].get(), &k) < 0 ? nullptr : op(k, cells);
    if (result == nullptr) {
        add_traceback(qualname, where);
    }
    return result;
}

PyObject*
cache_get(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return keyed_call<1, 0b01>("Cache.get", get_sig, args, nargs, kwnames,
                               [&](std::int32_t k, Ref*) { return c_get(as_cache(op), k); });
}

PyObject*
cache_set(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return keyed_call<2, 0>(
        "Cache.set", set_sig, args, nargs, kwnames, [&](std::int32_t k, Ref* cells) -> PyObject* {
            return set_impl(as_cache(op), k, cells[1].get()) < 0 ? nullptr : Py_NewRef(Py_None);
        });
}

PyObject*
cache_get_or_set_val(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return keyed_call<2, 0>("Cache.get_or_set_val", get_or_set_val_sig, args, nargs, kwnames,
                            [&](std::int32_t k, Ref* cells) {
                                return c_get_or_set_val(as_cache(op), k, cells[1].get());
                            });
}

PyObject*
cache_get_or_exec(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return keyed_call<2, 0b11>(
        "Cache.get_or_exec", get_or_exec_sig, args, nargs, kwnames,
        [&](std::int32_t k, Ref* cells) { return c_get_or_exec(as_cache(op), k, cells[1].get()); });
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
    if (check_member_key(key) < 0) {
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

// ---- the type object ---------------------------------------------------------------

PyTypeObject cache_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "quor_ui.fast.quorcache.quorcache.Cache",
    .tp_basicsize = sizeof(CacheObject),
    .tp_dealloc = cache_dealloc,  // static type: no decref of the type
    .tp_as_sequence = &cache_as_sequence,
    .tp_as_mapping = &cache_as_mapping,
    .tp_getattro = cache_getattro,
    .tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = cache_traverse,  // visits cache_arr only
    .tp_clear = cache_tp_clear,
    .tp_methods = cache_methods,
    .tp_init = cache_init,
    .tp_new = cache_new,
    .tp_vectorcall = cache_vectorcall,  // Cache(...) without an argument tuple
};

}  // namespace quorcache
