"""The internal function table and instance record, as a native consumer sees them."""

import ctypes
import sys
import traceback
import weakref
from ctypes import PYFUNCTYPE, c_int32, py_object

import pytest

from conftest import Key, slots
from quor_ui.fast.quorcache.quorcache import Cache

P = "quor_ui.fast.quorcache.quorcache.Cache."
NOT_SUB = "'NoneType' object is not subscriptable"
NOT_ITER = "'NoneType' object is not iterable"


# PYFUNCTYPE keeps the interpreter lock held and raises a pending exception after each call,
# which is how the void operations report failure.
class Functions(ctypes.Structure):
    _fields_ = [
        ("c_clear", PYFUNCTYPE(None, py_object)),
        ("c_clear_selected", PYFUNCTYPE(None, py_object, py_object, py_object)),
        ("c_get", PYFUNCTYPE(py_object, py_object, c_int32)),
        ("c_set", PYFUNCTYPE(None, py_object, c_int32, py_object)),
        ("c_get_or_set_val", PYFUNCTYPE(py_object, py_object, c_int32, py_object)),
        ("c_get_or_exec", PYFUNCTYPE(py_object, py_object, c_int32, py_object)),
        ("new", PYFUNCTYPE(py_object)),
    ]


_capsule_pointer = PYFUNCTYPE(ctypes.c_void_p, py_object, ctypes.c_char_p)(
    ("PyCapsule_GetPointer", ctypes.pythonapi))
TABLE_ADDRESS = _capsule_pointer(Cache.__pyx_vtable__, None)
T = Functions.from_address(TABLE_ADDRESS)
HEADER = object.__basicsize__
PTR = ctypes.sizeof(ctypes.c_void_p)


class Tracked:
    pass


def bare():
    return Cache.__new__(Cache)


def filled(length=32):
    c = Cache()
    c.__setstate__(([f"v{i}" for i in range(length)],))
    return c


def contents(c):
    return None if slots(c) is None else list(slots(c))


def op_names(err):
    return [f.name for f in traceback.extract_tb(err.tb) if f.name.startswith("quor_ui")]


def test_record_layout():
    assert Cache.__basicsize__ == HEADER + 2 * PTR
    for c in [Cache(), bare(), type("Sub", (Cache,), {})(), T.new(), filled().copy()]:
        assert ctypes.c_void_p.from_address(id(c) + HEADER).value == TABLE_ADDRESS
        assert py_object.from_address(id(c) + HEADER + PTR).value is slots(c)


def test_slot_operations_own_their_references():
    c, v, w = Cache(), Tracked(), Tracked()
    base_v, base_w = sys.getrefcount(v), sys.getrefcount(w)
    assert T.c_get(c, 3) is None and T.c_set(c, 3, v) is None
    got = T.c_get(c, 3)
    assert sys.getrefcount(v) == base_v + 2
    assert got is v and slots(c)[3] is v
    assert T.c_get_or_set_val(c, 3, w) is v and T.c_get_or_set_val(c, 31, w) is w
    assert T.c_get_or_exec(c, 3, 5) is v and T.c_get_or_exec(c, 0, lambda: v) is v
    del got
    assert sys.getrefcount(v) == base_v + 2 and sys.getrefcount(w) == base_w + 1
    T.c_clear(c)
    assert slots(c) == [None] * 32
    assert sys.getrefcount(v) == base_v and sys.getrefcount(w) == base_w


# The object argument each slot operation takes besides the index: none, the value, or func.
OPS = {"c_get": 0, "c_set": 1, "c_get_or_set_val": 1, "c_get_or_exec": 2}


@pytest.mark.parametrize("make, index, exc, message", [
    (bare, 3, TypeError, NOT_SUB),
    (filled, -1, IndexError, "Cache slot index -1 is out of range"),
    (filled, 32, IndexError, "Cache slot index 32 is out of range"),
    (lambda: filled(40), 35, IndexError, "Cache slot index 35 is out of range"),
    (lambda: filled(5), 5, IndexError, "Cache slot index 5 is out of range"),
])
@pytest.mark.parametrize("name", OPS)
def test_slot_refusals_touch_nothing(name, make, index, exc, message):
    c, v, calls = make(), Tracked(), []
    func = lambda: calls.append(1) or v  # noqa: E731
    before, base = contents(c), sys.getrefcount(v)
    with pytest.raises(exc) as err:
        getattr(T, name)(c, index, *[(), (v,), (func,)][OPS[name]])
    assert str(err.value) == message and op_names(err) == [P + name]
    assert calls == [] and sys.getrefcount(v) == base and contents(c) == before


@pytest.mark.parametrize("state, exc, message", [
    ([], IndexError, "Cache slot index 3 is out of range"),
    (None, TypeError, NOT_SUB),
])
def test_get_or_exec_rechecks_the_list_func_left(state, exc, message):
    c, made = Cache(), []

    def func():
        c.__setstate__((state,))
        result = Tracked()
        made.append(weakref.ref(result))
        return result

    with pytest.raises(exc) as err:
        T.c_get_or_exec(c, 3, func)
    assert str(err.value) == message and op_names(err) == [P + "c_get_or_exec"]
    assert made[0]() is None  # the result was released, not stored
    assert slots(c) is state and state in ([], None)


@pytest.mark.parametrize("name, make, args, expected", [
    ("c_clear", lambda: filled(34), (), set(range(32))),
    ("c_clear_selected", filled, ([], []), set()),
    ("c_clear_selected", filled, ([Key(3)], [Key(3), Key(4), Key(4)]), {4}),
    ("c_clear_selected", filled, ([Key(40)], [Key(-1), Key(40), Key(31)]), {31}),
    ("c_clear_selected", lambda: filled(5), ([], [Key(2)]), {2}),
    ("c_clear_selected", bare, ([Key(2)], [Key(2), Key(40)]), None),
])
def test_clearing_takes_the_lists_as_given(name, make, args, expected):
    c = make()
    assert getattr(T, name)(c, *args) is None
    left = contents(c)
    assert (None if left is None else {i for i, v in enumerate(left) if v is None}) == expected


@pytest.mark.parametrize("name, make, args, exc, message", [
    ("c_clear_selected", filled, (None, [Key(3)]), TypeError, NOT_ITER),
    ("c_clear_selected", filled, ([Key(3)], None), TypeError, NOT_ITER),
    ("c_clear_selected", filled, ([], [Key(2), object()]), AttributeError,
     "'object' object has no attribute 'value'"),
    ("c_clear_selected", lambda: filled(5), ([], [Key(2), Key(9), Key(7)]), IndexError,
     "Cache slot index 7 is out of range"),
    ("c_clear_selected", bare, ([], [Key(2)]), TypeError, NOT_SUB),
    ("c_clear", lambda: filled(5), (), IndexError, "Cache slot index 5 is out of range"),
    ("c_clear", bare, (), TypeError, NOT_SUB),
])
def test_clearing_refusals_touch_nothing(name, make, args, exc, message):
    c = make()
    before = contents(c)
    with pytest.raises(exc) as err:
        getattr(T, name)(c, *args)
    assert str(err.value) == message and op_names(err) == [P + name]
    assert contents(c) == before


def test_new_makes_an_exact_empty_cache():
    a, b, held_alike = T.new(), T.new(), Cache()
    assert type(a) is Cache and sys.getrefcount(a) == sys.getrefcount(held_alike)
    assert slots(a) == [None] * 32 and slots(a) is not slots(b)
