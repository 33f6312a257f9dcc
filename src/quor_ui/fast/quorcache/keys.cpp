#include "keys.hpp"

#include "binding.hpp"
#include "cache.hpp"
#include "constants.hpp"
#include "enum_proof.hpp"
#include "errors.hpp"
#include "internals.hpp"
#include "remembered.hpp"

namespace quorcache {

namespace {

// The proven stock member map of `enum_type` given to `on_map`, else `ordinary()`:
// the one place that chooses between them.
template <typename OnMap, typename Ordinary>
auto
through_member_map(PyObject* enum_type, OnMap on_map, Ordinary ordinary)
{
    // Owned across the look-up, whose key comparisons may replace the class's map.
    if (Ref map = stock_member_map(enum_type)) {
        return on_map(map.get());
    }
    return ordinary();
}

}  // namespace

int
resolve_key(PyObject* key, std::int32_t* out)
{
    PyObject* direct;
    int fast = stock_member_value(key, &direct);
    Ref value = Ref::steal(fast != 0 ? direct : PyObject_GetAttr(key, names.value));
    if (!value) {
        return -1;
    }
    // An exact int of one digit (every slot index is one) is read without a call.
    std::int64_t small;
    if (PyLong_CheckExact(value.get()) && compact_int(value.get(), &small)) {
        *out = static_cast<std::int32_t>(small);
        return 0;
    }
    return to_int32(value.get(), out);
}

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

int
check_member_key(PyObject* key)
{
    Ref enum_type = lookup_global(names.CacheType);
    if (!enum_type) {
        return -1;
    }
    int member = PyObject_IsInstance(key, enum_type.get());
    if (member == 0) {
        PyErr_SetObject(PyExc_TypeError, consts.key_type_message);
    }
    return member > 0 ? 0 : -1;
}

bool
MemberName::still_current(PyObject* enum_type_now, bool from_memory) const
{
    return member && enum_type_now == enum_type.get()
           && (from_memory || stock_member_map(enum_type_now).get() == map.get())
           && dict_generation == generation;
}

MemberName
find_member_name(PyObject* name)
{
    MemberName answer;
    answer.enum_type = lookup_global(names.CacheType);
    if (!answer.enum_type) {
        answer.found = -1;
        return answer;
    }
    // With a stock map keyed by str alone, the membership test finds the member that
    // CacheType[name] gives, as long as nothing changes in between: neither runs code.
    answer.map = stock_member_map(answer.enum_type.get());
    if (answer.map && str_keyed_and_watched(answer.map.get())) {
        answer.member = Ref::borrow(PyDict_GetItemWithError(answer.map.get(), name));
        answer.found = answer.member ? 1 : PyErr_Occurred() ? -1 : 0;
        answer.generation = dict_generation;
        return answer;
    }
    answer.map = Ref();
    answer.found = through_member_map(
        answer.enum_type.get(), [&](PyObject* map) { return PyDict_Contains(map, name); },
        [&] {
            Ref members = Ref::steal(PyObject_GetAttr(answer.enum_type.get(), names.__members__));
            return members ? PySequence_Contains(members.get(), name) : -1;
        });
    return answer;
}

PyObject*
member_named(PyObject* enum_type, PyObject* name)
{
    return through_member_map(
        enum_type,
        [&](PyObject* map) -> PyObject* {
            PyObject* member = PyDict_GetItemWithError(map, name);
            if (member != nullptr) {
                return Py_NewRef(member);  // owned before anything else can run
            }
            if (!PyErr_Occurred()) {
                raise_with_arg(PyExc_KeyError, name);
            }
            return nullptr;
        },
        [&] { return PyObject_GetItem(enum_type, name); });
}

Ref
default_whitelist()
{
    Ref enum_type = lookup_global(names.CacheType);
    if (!enum_type) {
        return {};
    }
    return through_member_map(
        enum_type.get(), [](PyObject* map) { return Ref::steal(PyDict_Values(map)); },
        [&]() -> Ref {
            Ref members = Ref::steal(PyObject_GetAttr(enum_type.get(), names.__members__));
            Ref values = members
                             ? Ref::steal(PyObject_CallMethodNoArgs(members.get(), names.values))
                             : Ref();
            return values ? Ref::steal(PySequence_List(values.get())) : Ref();
        });
}

}  // namespace quorcache
