// Pickle support: __reduce__, __setstate__ and the module-level reconstruction
// function that pickles refer to by name.
#include <cstdint>

#include "attributes.hpp"
#include "binding.hpp"
#include "cache.hpp"
#include "constants.hpp"
#include "errors.hpp"
#include "remembered.hpp"

namespace quorcache {

namespace {

PyObject* const* const state_param[] = {&names.__pyx_state};
PyObject* const* const unpickle_params[] = {&names.__pyx_type, &names.__pyx_checksum,
                                            &names.__pyx_state};
const Signature setstate_sig = {"__setstate__", state_param, 1, 1};
const Signature unpickle_sig = {"__pyx_unpickle_Cache", unpickle_params, 3, 3};

PyObject*
reduce_impl(CacheObject* self)
{
    // Held: the __dict__ look-up and its truth test below can run code that gives
    // the instance another list, while the state still names this one.
    Ref arr = Ref::borrow(self->cache_arr);
    Ref state = Ref::steal(PyTuple_Pack(1, arr.get()));
    if (!state) {
        return nullptr;
    }
    // Only a subclass instance has a __dict__; for a plain Cache the lookup fails.
    PyObject* found;
    if (cache_lookup_attr(reinterpret_cast<PyObject*>(self), names.__dict__, &found) < 0) {
        return nullptr;
    }
    Ref dict = Ref::steal(found);
    bool use_setstate = false;
    if (dict && dict.get() != Py_None) {
        int truth = PyObject_IsTrue(dict.get());
        if (truth < 0) {
            return nullptr;
        }
        if (truth) {
            state = Ref::steal(PyTuple_Pack(2, arr.get(), dict.get()));
            if (!state) {
                return nullptr;
            }
            use_setstate = true;
        }
    }
    if (!use_setstate) {
        // The lookup and the truth test may have run code that replaced the list.
        use_setstate = self->cache_arr != Py_None;
    }
    Ref unpickle = lookup_global(names.__pyx_unpickle_Cache);
    if (!unpickle) {
        return nullptr;
    }
    // Tuples made one by one: Py_BuildValue of CPython 3.12.1 loses the inner tuple
    // when an allocation for the outer one fails.
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    Ref args =
        Ref::steal(PyTuple_Pack(3, type, consts.checksum, use_setstate ? Py_None : state.get()));
    if (!args) {
        return nullptr;
    }
    if (use_setstate) {
        return PyTuple_Pack(3, unpickle.get(), args.get(), state.get());
    }
    return PyTuple_Pack(2, unpickle.get(), args.get());
}

bool
accepted(std::int64_t checksum)
{
    for (std::int64_t ok : ACCEPTED_PICKLE_CHECKSUMS) {
        if (checksum == ok) {
            return true;
        }
    }
    return false;
}

void
raise_checksum_mismatch(std::int64_t checksum)
{
    Ref pickle = Ref::steal(PyImport_Import(names.pickle));
    if (!pickle) {
        return;
    }
    Ref error = Ref::steal(PyObject_GetAttr(pickle.get(), names.PickleError));
    if (!error) {
        return;
    }
    Ref message = Ref::steal(
        PyUnicode_FromFormat("Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))",
                             static_cast<unsigned int>(static_cast<std::uint64_t>(checksum)),
                             static_cast<unsigned int>(ACCEPTED_PICKLE_CHECKSUMS[0]),
                             static_cast<unsigned int>(ACCEPTED_PICKLE_CHECKSUMS[1]),
                             static_cast<unsigned int>(ACCEPTED_PICKLE_CHECKSUMS[2]), "cache_arr"));
    if (message) {
        PyErr_SetObject(error.get(), message.get());
    }
}

PyObject*
unpickle_impl(PyObject* type, PyObject* state, std::int64_t checksum)
{
    if (!accepted(checksum)) {
        raise_checksum_mismatch(checksum);
        return nullptr;
    }
    // Cache.__new__(type): allocation only; neither __init__ nor a subclass's __new__ runs.
    Ref new_ =
        Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&cache_type), names.__new__));
    if (!new_) {
        return nullptr;
    }
    Ref result = Ref::steal(PyObject_CallOneArg(new_.get(), type));
    if (!result) {
        return nullptr;
    }
    if (state != Py_None) {
        if (!PyObject_TypeCheck(result.get(), &cache_type)) {  // Cache.__new__ makes Caches only
            raise_expected(cache_type.tp_name, result.get());
            return nullptr;
        }
        if (set_state(reinterpret_cast<CacheObject*>(result.get()), state) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

PyObject*
unpickle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    Ref cells[3];
    std::int64_t checksum;
    if (bind(unpickle_sig, args, nargs, kwnames, cells) < 0
        || to_int64(cells[1].get(), &checksum) < 0) {
        add_traceback("__pyx_unpickle_Cache");
        return nullptr;
    }
    PyObject* state = cells[2].get();
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        refuse_type("__pyx_state", &PyTuple_Type, state);
        return nullptr;
    }
    PyObject* result = unpickle_impl(cells[0].get(), state, checksum);
    if (result == nullptr) {
        add_traceback("__pyx_unpickle_Cache");
    }
    return result;
}

int
set_state_impl(CacheObject* result, PyObject* state)
{
    if (PyTuple_GET_SIZE(state) == 0) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return -1;
    }
    // Items of the state stay alive with it, and every caller owns the tuple: the
    // release of the old list and the truth test below may run code.
    PyObject* arr = PyTuple_GET_ITEM(state, 0);
    if (arr != Py_None && !PyList_CheckExact(arr)) {
        raise_expected("list", arr);
        return -1;
    }
    // The very list of the state, shared with whoever else holds it; no length test.
    set_owned(result->cache_arr, Ref::borrow(arr));
    if (PyTuple_GET_SIZE(state) < 2) {
        return 0;
    }
    PyObject* extra = PyTuple_GET_ITEM(state, 1);
    int truth = PyObject_IsTrue(extra);
    if (truth <= 0) {
        return truth;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(reinterpret_cast<PyObject*>(result), nullptr));
    if (!dict) {
        return -1;
    }
    if (PyDict_CheckExact(dict.get())) {
        return PyDict_Update(dict.get(), extra);
    }
    Ref done = Ref::steal(PyObject_CallMethodOneArg(dict.get(), names.update, extra));
    return done ? 0 : -1;
}

}  // namespace

int
set_state(CacheObject* result, PyObject* state)
{
    if (set_state_impl(result, state) < 0) {
        add_traceback("__pyx_unpickle_Cache__set_state");
        return -1;
    }
    return 0;
}

PyObject*
cache___reduce__(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames)
{
    if (bind_none("__reduce__", nargs, kwnames) < 0) {
        return nullptr;
    }
    PyObject* result = reduce_impl(reinterpret_cast<CacheObject*>(self));
    if (result == nullptr) {
        add_traceback("Cache.__reduce__");
    }
    return result;
}

PyObject*
cache___setstate__(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    Ref cells[1];
    if (bind(setstate_sig, args, nargs, kwnames, cells) < 0) {
        add_traceback("Cache.__setstate__");
        return nullptr;
    }
    PyObject* state = cells[0].get();
    if (PyTuple_CheckExact(state)) {
        if (set_state(reinterpret_cast<CacheObject*>(self), state) < 0) {
            add_traceback("Cache.__setstate__");
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "cannot pass None into a C function argument that is declared 'not None'");
    }
    else {
        raise_expected("tuple", state);
    }
    add_traceback("Cache.__setstate__");
    return nullptr;
}

PyMethodDef unpickle_def = {
    "__pyx_unpickle_Cache",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpickle)),
    METH_FASTCALL | METH_KEYWORDS,
    // A text signature and no docstring: __doc__ stays None.
    "__pyx_unpickle_Cache(__pyx_type, __pyx_checksum, __pyx_state)\n--\n\n",
};

}  // namespace quorcache
