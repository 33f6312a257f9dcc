#include "binding.hpp"

#include <cstring>

#include "internals.hpp"

namespace quorcache {

namespace {

void
raise_count(const char* name, const char* qualifier, Py_ssize_t expected, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, qualifier, expected, expected == 1 ? "" : "s", given);
}

void
raise_count(const Signature& sig, Py_ssize_t given)
{
    bool exact = sig.required == sig.total;
    // Too few arguments can only happen to an exact method: no method mixes
    // required and optional parameters.
    raise_count(sig.name, exact ? "exactly" : "at most", sig.total, given);
}

// Equality of two exact str objects by their stored form, as dict look-ups compare.
bool
same_text(PyObject* a, PyObject* b)
{
    Py_hash_t ha = str_hash(a);
    Py_hash_t hb = str_hash(b);
    if (ha != -1 && hb != -1 && ha != hb) {
        return false;
    }
    Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    return len == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b)
           && std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                          static_cast<std::size_t>(len) * PyUnicode_KIND(a))
                  == 0;
}

// Index of the parameter in [from, to) that `key` names, -1 if none, -2 on error.
Py_ssize_t
find_param(const Signature& sig, PyObject* key, bool exact_str, Py_ssize_t from, Py_ssize_t to)
{
    for (Py_ssize_t i = from; i < to; ++i) {
        PyObject* param = *sig.params[i];
        if (exact_str) {
            if (same_text(key, param)) {
                return i;
            }
            continue;
        }
        int eq = PyObject_RichCompareBool(param, key, Py_EQ);
        if (eq < 0) {
            return -2;
        }
        if (eq) {
            return i;
        }
    }
    return -1;
}

// Binds one keyword argument after the first nargs parameters were bound by position.
int
bind_keyword(const Signature& sig, Py_ssize_t nargs, PyObject* key, PyObject* value, Ref* cells)
{
    Py_ssize_t at = -1;
    for (Py_ssize_t i = nargs; i < sig.total; ++i) {  // the interned names themselves, mostly
        if (key == *sig.params[i]) {
            at = i;
            break;
        }
    }
    if (at < 0) {
        bool exact_str = PyUnicode_CheckExact(key);
        if (!exact_str && !PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return -1;
        }
        at = find_param(sig, key, exact_str, nargs, sig.total);
        if (at == -1) {
            Py_ssize_t taken = find_param(sig, key, exact_str, 0, nargs);
            if (taken == -2) {
                return -1;
            }
            if (taken >= 0) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             sig.name, key);
                return -1;
            }
            raise_unexpected_keyword(sig.name, key);
            return -1;
        }
        if (at == -2) {
            return -1;
        }
    }
    if (cells[at]) {  // only a native caller can name one parameter twice
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     sig.name, key);
        return -1;
    }
    cells[at] = Ref::borrow(value);
    return 0;
}

// The value of an int (or int subclass) if it fits in [lo, hi].
int
long_in_range(PyObject* v, long lo, long hi, bool own_message, long* out)
{
    long x;
    std::int64_t small;
    if (compact_int(v, &small)) {
        x = static_cast<long>(small);
    }
    else {
        static_assert(sizeof(long) == 8, "the 64-bit conversion is PyLong_AsLong");
        x = PyLong_AsLong(v);
        if (x == -1 && PyErr_Occurred()) {
            return -1;
        }
    }
    if (x < lo || x > hi) {
        if (own_message) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        }
        else {  // the interpreter's own wording for a C long
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        }
        return -1;
    }
    *out = x;
    return 0;
}

int
to_long(PyObject* obj, long lo, long hi, bool own_message, long* out)
{
    if (PyLong_Check(obj)) {
        return long_in_range(obj, lo, hi, own_message, out);
    }
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return -1;
    }
    Ref result = Ref::steal(nb->nb_int(obj));
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        }
        return -1;
    }
    if (!PyLong_CheckExact(result.get())) {
        const char* tname = Py_TYPE(result.get())->tp_name;
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", tname);
            return -1;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             tname)
            < 0) {
            return -1;
        }
    }
    return long_in_range(result.get(), lo, hi, own_message, out);
}

}  // namespace

void
raise_unexpected_keyword(const char* name, PyObject* key)
{
    if (!PyUnicode_Check(key)) {  // %U takes only a str
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
}

int
bind_none(const char* name, Py_ssize_t nargs, PyObject* kwnames)
{
    if (nargs > 0) {
        raise_count(name, "exactly", 0, nargs);
        return -1;
    }
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        raise_unexpected_keyword(name, PyTuple_GET_ITEM(kwnames, 0));
        return -1;
    }
    return 0;
}

int
bind_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             Ref* cells)
{
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    bool exact = sig.required == sig.total;
    bool count_ok = nkw == 0 && exact ? nargs == sig.total : nargs <= sig.total;
    if (!count_ok) {
        raise_count(sig, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        cells[i] = Ref::borrow(args[i]);
    }
    if (nkw == 0) {
        for (Py_ssize_t i = nargs; i < sig.total; ++i) {
            cells[i] = Ref::borrow(Py_None);
        }
        return 0;
    }
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        if (bind_keyword(sig, nargs, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], cells) < 0) {
            return -1;
        }
    }
    for (Py_ssize_t i = nargs; i < sig.total; ++i) {
        if (!cells[i]) {
            if (i < sig.required) {
                raise_count(sig, i);
                return -1;
            }
            cells[i] = Ref::borrow(Py_None);
        }
    }
    return 0;
}

int
refuse_none(const char* param)
{
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None", param);
    return -1;
}

int
refuse_type(const char* param, PyTypeObject* expected, PyObject* got)
{
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected->tp_name, Py_TYPE(got)->tp_name);
    return -1;
}

int
to_int32(PyObject* obj, std::int32_t* out)
{
    long x;
    if (to_long(obj, INT32_MIN, INT32_MAX, true, &x) < 0) {
        return -1;
    }
    *out = static_cast<std::int32_t>(x);
    return 0;
}

int
to_int64(PyObject* obj, std::int64_t* out)
{
    long x;
    if (to_long(obj, INT64_MIN, INT64_MAX, false, &x) < 0) {
        return -1;
    }
    *out = x;
    return 0;
}

}  // namespace quorcache
