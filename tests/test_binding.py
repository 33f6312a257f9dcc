import ctypes
import pickle
import sys
import traceback
import warnings

import pytest
from conftest import Key, slots

from quor_ui.fast.quorcache import quorcache

NAME = "quor_ui.fast.quorcache.quorcache"
C, U, CS = quorcache.Cache, quorcache.__pyx_unpickle_Cache, 198515892
TOO_LARGE = "value too large to convert to int"
Sub = type("Sub", (C,), {})
StrSub = type("StrSub", (str,), {})


class IntSub(int):
    def __int__(self):
        raise AssertionError("an int subclass is read directly")


class HasInt:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class IndexOnly:
    def __index__(self):
        return 3


class Boom(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise RuntimeError("compared")


def never():
    raise AssertionError("func must not be called")


def fails(exc, call, *args):
    with pytest.raises(exc) as err:
        call(*args)
    return err.value


def takes(name, count, given):
    s = "" if count == 1 else "s"
    return f"{name}() takes exactly {count} positional argument{s} ({given} given)"


def multiple(name, kw):
    return f"{name}() got multiple values for keyword argument '{kw}'"


def unexpected(name, kw):
    return f"{name}() got an unexpected keyword argument '{kw}'"


@pytest.mark.parametrize("call, message", [
    (lambda c, k: C(1, 2, x=3), takes("__init__", 0, 2)),
    (lambda c, k: C(x=1, a=2), unexpected("__init__", "x")),
    (lambda c, k: Sub(b=1, a=2), unexpected("__init__", "b")),   # init slot: dict order
    (lambda c, k: c.clear(1), "clear() takes exactly 0 positional arguments (1 given)"),
    (lambda c, k: c.copy(1, x=2), takes("copy", 0, 1)),
    (lambda c, k: c.__reduce__(protocol=2), unexpected("__reduce__", "protocol")),
    (lambda c, k: c.get(), "get() takes exactly 1 positional argument (0 given)"),
    (lambda c, k: c.get(1, 2, type=3), takes("get", 1, 2)),
    (lambda c, k: c.get(k, type=k), multiple("get", "type")),
    (lambda c, k: c.set(k), "set() takes exactly 2 positional arguments (1 given)"),
    (lambda c, k: c.set(value=1), takes("set", 2, 0)),
    (lambda c, k: c.set(type=k), takes("set", 2, 1)),
    (lambda c, k: c.set(k, type=k), "set() got multiple values for keyword argument 'type'"),
    (lambda c, k: c.set(k, type=k, foo=1), multiple("set", "type")),
    (lambda c, k: c.set(type=k, foo=1), unexpected("set", "foo")),
    (lambda c, k: c.get(k, **{StrSub("type"): k}), multiple("get", "type")),
    (lambda c, k: c.get(**{StrSub("typ"): k}), unexpected("get", "typ")),
    (lambda c, k: c.get_or_set_val(k), takes("get_or_set_val", 2, 1)),
    (lambda c, k: c.get_or_exec(func=never), takes("get_or_exec", 2, 0)),
    (lambda c, k: c.get_or_exec(None, None, x=1), unexpected("get_or_exec", "x")),
    (lambda c, k: c.clear_selected(1, 2, 3, whitelist=[]),
     "clear_selected() takes at most 2 positional arguments (3 given)"),
    (lambda c, k: c.clear_selected(None, blacklist=None), multiple("clear_selected", "blacklist")),
    (lambda c, k: c.__deepcopy__({}, memo={}), multiple("__deepcopy__", "memo")),
    (lambda c, k: c.__setstate__(state=()), unexpected("__setstate__", "state")),
    (lambda c, k: U(C, CS, None, None, __pyx_type=C), takes("__pyx_unpickle_Cache", 3, 4)),
    (lambda c, k: U(__pyx_type=C, __pyx_state=None), takes("__pyx_unpickle_Cache", 3, 1)),
    (lambda c, k: U(C, CS, __pyx_type=C), multiple("__pyx_unpickle_Cache", "__pyx_type")),
    (lambda c, k: c.get(type=None), "Argument 'type' must not be None"),
    (lambda c, k: c.get_or_exec(None, None), "Argument 'type' must not be None"),
    (lambda c, k: C.__new__(C).get_or_exec(Key("3"), None), "Argument 'func' must not be None"),
    (lambda c, k: c.__getattr__(5), "Argument 'type' has incorrect type (expected str, got int)"),
    (lambda c, k: c.__getattr__(StrSub("LAYOUT")),
     "Argument 'type' has incorrect type (expected str, got StrSub)"),
    (lambda c, k: U(C, CS, type("TupleSub", (tuple,), {})()),
     "Argument '__pyx_state' has incorrect type (expected tuple, got TupleSub)"),
    # the key is resolved after the refusals and before the slot list is looked at
    (lambda c, k: C.__new__(C).get_or_exec(Key("3"), never), "an integer is required"),
])
def test_binder_messages(cache, key, call, message):
    err = fails(TypeError, call, cache, key)
    assert err.args == (message,) and getattr(err, "__notes__", None) is None
    assert slots(cache) == [None] * 32


@pytest.mark.parametrize("call, entry", [
    (lambda c, k: c.get(), "Cache.get"),
    (lambda c, k: c.set(type=k), "Cache.set"),
    (lambda c, k: c.clear_selected(1, 2, 3), "Cache.clear_selected"),
    (lambda c, k: U(C, __pyx_x=1), "__pyx_unpickle_Cache"),
    (lambda c, k: c.clear(1), None),
    (lambda c, k: C(x=1), None),
    (lambda c, k: c.get_or_exec(k, None), None),
    (lambda c, k: c.__getattr__(5), None),
    (lambda c, k: U(C, CS, []), None),
])
def test_binding_traceback_entries(cache, key, call, entry):
    names = [f.name for f in traceback.extract_tb(fails(TypeError, call, cache, key).__traceback__)]
    assert [n for n in names if n.startswith("quor_ui.")] == ([NAME + "." + entry] if entry else [])


def test_failed_binding_releases_arguments(cache):
    obj = object()
    calls = [lambda: cache.set(obj, obj, value=obj), lambda: cache.set(obj, foo=obj),
             lambda: cache.set(value=obj), lambda: cache.get_or_exec(obj, None),
             lambda: cache.clear_selected(obj, obj, obj), lambda: U(obj, obj, __pyx_type=obj)]
    before = sys.getrefcount(obj)
    for call in calls * 50:
        fails(TypeError, call)
    assert sys.getrefcount(obj) == before


def test_keyword_binding(cache, key):
    cache.set(value="v", type=key)
    assert cache.get(**{"".join(["ty", "pe"]): key}) == "v"     # equal, not the interned name
    assert cache.get(**{StrSub("type"): key}) == "v"
    assert cache.get_or_exec(func=lambda: 5, type=Key(5)) == 5
    assert cache.__deepcopy__(memo={}).get(Key(5)) == 5
    assert type(U(__pyx_state=None, __pyx_checksum=CS, __pyx_type=Sub)) is Sub
    # a str subclass is compared with ==, and a failing comparison ends the call
    assert str(fails(RuntimeError, lambda: cache.set(key, **{Boom("value"): 1}))) == "compared"


@pytest.mark.parametrize("call", [
    lambda c, k, name, ran: c.set(k, **{name: "new"}),
    lambda c, k, name, ran: c.get_or_set_val(k, **{name: "new"}),
    lambda c, k, name, ran: c.get_or_exec(k, **{name: lambda: ran.append(1)}),
    lambda c, k, name, ran: c.clear_selected(**{name: [Key(0)]}),
], ids=["set", "get_or_set_val", "get_or_exec", "clear_selected"])
@pytest.mark.parametrize("spelling", ["value", "func", "whitelist", "other"])
def test_failing_keyword_comparison_binds_nothing(cache, key, call, spelling):
    cache.set(Key(0), "zero")
    ran = []
    with pytest.raises(RuntimeError, match="compared"):
        call(cache, key, Boom(spelling), ran)
    assert slots(cache) == ["zero"] + [None] * 31 and ran == []


_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                        ctypes.py_object]


def vectorcall(func, args, kwnames):
    """Call with a keyword-name tuple of our choice, which no Python call syntax can build."""
    return _vectorcall(func, (ctypes.py_object * len(args))(*args), len(args) - len(kwnames),
                       kwnames)


@pytest.mark.parametrize("kwname", [1, b"type", None])
def test_non_str_keyword_names(cache, key, kwname):
    assert vectorcall(cache.set, (key, 1), ("value",)) is None and cache.get(key) == 1
    err = fails(TypeError, vectorcall, cache.set, (key, 2), (kwname,))
    assert str(err) == "set() keywords must be strings" and cache.get(key) == 1
    err = fails(TypeError, vectorcall, U, (C, CS, None), ("__pyx_checksum", kwname))
    assert str(err) == "__pyx_unpickle_Cache() keywords must be strings"


@pytest.mark.parametrize("method", ["clear", "clear_selected", "get", "set", "get_or_set_val",
                                    "get_or_exec", "__getattr__", "copy", "__deepcopy__",
                                    "__reduce__", "__setstate__"])
def test_receiver(method):
    err = fails(TypeError, getattr(C, method), 5, None)
    assert str(err) == (f"descriptor '{method}' for '{NAME}.Cache' objects "
                        "doesn't apply to a 'int' object")
    assert "needs an argument" in str(fails(TypeError, getattr(C, method)))


RESOLVE = [lambda c, k: c.get(k), lambda c, k: c.set(k, 1), lambda c, k: c.get_or_set_val(k, 1),
           lambda c, k: c.get_or_exec(k, never)]


@pytest.mark.parametrize("value, slot", [(True, 1), (3.7, 3), (IntSub(5), 5), (HasInt(31), 31)])
def test_slot_index_conversion(cache, value, slot):
    cache.set(Key(value), "x")
    assert slots(cache).index("x") == slot and cache.get(Key(value)) == "x"


@pytest.mark.parametrize("value, exc, message", [
    ("3", TypeError, "an integer is required"),
    (IndexOnly(), TypeError, "an integer is required"),
    (HasInt("3"), TypeError, "__int__ returned non-int (type str)"),
    (HasInt(ValueError("no int")), ValueError, "no int"),
    (2**31, OverflowError, TOO_LARGE),
    (-2**31 - 1, OverflowError, TOO_LARGE),
    (HasInt(2**63 - 1), OverflowError, TOO_LARGE),
    (2**63, OverflowError, None),                  # beyond 64 bits: the interpreter's message
    (HasInt(-2**64), OverflowError, None),
    (-1, IndexError, "Cache slot index -1 is out of range"),
    (HasInt(-1), IndexError, "Cache slot index -1 is out of range"),
    (2**31 - 1, IndexError, "Cache slot index 2147483647 is out of range"),
    (-2**31, IndexError, "Cache slot index -2147483648 is out of range"),
])
def test_slot_index_conversion_errors(cache, value, exc, message):
    for call in RESOLVE:
        err = str(fails(exc, call, cache, Key(value)))
        assert err == message if message else TOO_LARGE not in err
    assert slots(cache) == [None] * 32


def deprecated(type_name):
    return (f"__int__ returned non-int (type {type_name}).  The ability to return an instance "
            "of a strict subclass of int is deprecated, and may be removed in a future version "
            "of Python.")


@pytest.mark.parametrize("result, type_name", [(IntSub(4), "IntSub"), (True, "bool")])
def test_int_subclass_from_int_is_deprecated(cache, result, type_name):
    with pytest.warns(DeprecationWarning) as seen:
        cache.set(Key(HasInt(result)), "x")
        U(C, HasInt(IntSub(CS)), None)
    assert [str(w.message) for w in seen] == [deprecated(type_name), deprecated("IntSub")]
    assert seen[0].filename == __file__ and slots(cache)[result + 0] == "x"
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        for call in RESOLVE:
            err = fails(DeprecationWarning, call, cache, Key(HasInt(result)))
            assert str(err) == deprecated(type_name)
        assert str(fails(DeprecationWarning, U, C, HasInt(IntSub(CS)), None)) == \
            deprecated("IntSub")
    assert slots(cache)[result + 0] == "x"


def incompatible(shown):
    return f"Incompatible checksums ({shown} vs (0xbd51cb4, 0xe95c4d5, 0xc883660) = (cache_arr))"


@pytest.mark.parametrize("checksum, state, exc, message", [
    (IntSub(CS), None, None, None),
    (CS + 0.5, None, None, None),
    (HasInt(0xE95C4D5), None, None, None),
    ("x", [], TypeError, "an integer is required"),
    (HasInt("x"), None, TypeError, "__int__ returned non-int (type str)"),
    (1, [], TypeError, "Argument '__pyx_state' has incorrect type (expected tuple, got list)"),
    (2**31, None, pickle.PickleError, incompatible("0x80000000")),
    (2**63 - 1, None, pickle.PickleError, incompatible("0xffffffff")),
    (HasInt(-2**63), None, pickle.PickleError, incompatible("0x0")),
    (2**63, None, OverflowError, None),
])
def test_checksum_conversion(checksum, state, exc, message):
    if exc is None:
        assert slots(U(C, checksum, state)) is None
        return
    err = str(fails(exc, U, C, checksum, state))
    assert err == message if message else TOO_LARGE not in err
