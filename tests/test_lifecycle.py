import ctypes
import gc
import sys
import traceback
import weakref

import pytest

from conftest import Key, OnDel, slots
from quor_ui.core.enums import CacheType
from quor_ui.fast.quorcache.quorcache import Cache

NOT_SUB = "'NoneType' object is not subscriptable"
KEY = CacheType.LAYOUT  # slot 3

# The type's garbage-collector clear slot (Py_tp_clear == 51), called as the collector would.
_get_slot = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_int)(
    ("PyType_GetSlot", ctypes.pythonapi))
tp_clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(_get_slot(Cache, 51))


class Tracked:
    """A slot object that can be weakly referenced."""


class Sub(Cache):
    pass


class Forwards(Cache):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)


class OwnInit(Cache):
    def __init__(self, n):  # never calls the base __init__
        self.n = n


@pytest.mark.parametrize("cls", [Cache, Sub, Forwards])
def test_new_cache_has_32_empty_slots(cls):
    c = cls()
    assert type(c) is cls and type(slots(c)) is list and slots(c) == [None] * 32
    assert slots(cls()) is not slots(c)


INIT_CALLS = {
    "call": lambda c, a, k: Cache(*a, **k),
    "subclass": lambda c, a, k: Sub(*a, **k),
    "method": lambda c, a, k: c.__init__(*a, **k),
}


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "__init__() takes exactly 0 positional arguments (1 given)"),
    ((1, 2), {}, "__init__() takes exactly 0 positional arguments (2 given)"),
    ((1,), {"x": 2}, "__init__() takes exactly 0 positional arguments (1 given)"),
    ((), {"x": 1}, "__init__() got an unexpected keyword argument 'x'"),
    ((), {"b": 1, "a": 2}, "__init__() got an unexpected keyword argument 'b'"),
])
@pytest.mark.parametrize("how", INIT_CALLS)
def test_init_refuses_arguments(how, args, kwargs, message):
    c, held = Sub(), Tracked()
    c.set(KEY, held)
    before = slots(c)
    with pytest.raises(TypeError) as err:
        INIT_CALLS[how](c, args, kwargs)
    assert str(err.value) == message
    assert not [f for f in traceback.extract_tb(err.tb) if f.name.startswith("quor_ui")]
    assert slots(c) is before and before[3] is held


def bare():
    return Cache.__new__(Cache)


@pytest.mark.parametrize("make", [
    bare,
    lambda: Cache.__new__(Cache, 1, 2, k=3),
    lambda: Cache.__new__(Sub),
    lambda: OwnInit(5),
])
def test_bare_instance_refuses_slot_access_until_init(make):
    c, called = make(), []
    assert slots(c) is None and gc.is_tracked(c)
    for op in [lambda: c.get(KEY), lambda: c.set(KEY, 1), lambda: c.get_or_set_val(KEY, 1),
               lambda: c.get_or_exec(KEY, lambda: called.append(1)), lambda: c[KEY],
               lambda: c.LAYOUT, c.clear, c.clear_selected, c.copy]:
        with pytest.raises(TypeError) as err:
            op()
        assert str(err.value) == NOT_SUB
    assert called == [] and slots(c) is None
    assert Cache.__init__(c) is None
    c.set(KEY, 7)
    assert slots(c) == [None] * 3 + [7] + [None] * 28


def test_reinit_stores_a_fresh_list_before_releasing_the_old():
    c, held, marker, seen = Cache(), Tracked(), Tracked(), []
    c.set(KEY, held)
    old = slots(c)
    assert c.__init__() is None
    assert slots(c) == [None] * 32 and slots(c) is not old
    assert old == [None] * 3 + [held] + [None] * 28
    del old  # now the next __init__ releases the list, and the finalizer below runs meanwhile
    c.set(KEY, OnDel(lambda: (seen.append(slots(c)), c.set(KEY, marker))))
    c.__init__()
    assert len(seen) == 1 and seen[0] is slots(c)
    assert c.get(KEY) is marker and slots(c).count(None) == 31


def test_destruction_releases_each_slot_object_once():
    objs = [Tracked() for _ in range(32)]
    before = [sys.getrefcount(o) for o in objs]
    c = Cache()
    for i in range(32):
        c.set(Key(i), objs[i])
    dead, _ = weakref.ref(objs.pop()), before.pop()  # the cache holds the only reference
    assert dead() is not None
    del c
    assert [sys.getrefcount(o) for o in objs] == before and dead() is None


def test_released_objects_may_run_code_during_destruction():
    other, log = Cache(), []
    c = Cache()
    c.set(Key(0), OnDel(lambda: (gc.collect(), other.set(KEY, 1), log.append(0))))
    c.set(Key(1), OnDel(lambda: (log.append(1), Cache().set(KEY, Cache()))))
    del c
    assert sorted(log) == [0, 1] and other.get(KEY) == 1


def test_a_cycle_of_two_caches_is_collected():
    a, b, sentinel = Cache(), Cache(), Tracked()
    a.set(KEY, b)
    b.set(KEY, a)
    a.set(Key(0), sentinel)
    dead = weakref.ref(sentinel)
    assert gc.get_referents(a) == [slots(a)] and gc.get_referents(bare()) == [None]
    del a, b, sentinel
    gc.collect()
    assert dead() is None


@pytest.mark.parametrize("action", [
    lambda c: c.get(KEY),
    lambda c: c.set(Key(1), Tracked()),
    lambda c: c.clear(),
    lambda c: c.__init__(),
])
def test_finalizer_in_a_self_cycle_may_use_the_cache(action):
    c, log = Cache(), []
    # The log keeps no result: get(KEY) gives the finalizer's own object, which would
    # resurrect the cycle (3.15 then keeps the sentinel's weak reference alive too).
    c.set(KEY, OnDel(lambda c=c: log.append(action(c) and None)))
    c.set(Key(0), c)
    sentinel = Tracked()
    dead = weakref.ref(sentinel)
    c.set(Key(2), sentinel)
    del c, sentinel
    gc.collect()
    assert len(log) == 1 and dead() is None


def test_gc_clear_leaves_a_usable_instance():
    c, held, seen = Cache(), Tracked(), []
    dead = weakref.ref(held)

    def peek():  # runs while the clear releases the old list
        seen.append(slots(c))
        try:
            c.get(KEY)
        except TypeError as exc:
            seen.append(str(exc))

    c.set(KEY, held)
    c.set(Key(0), OnDel(peek))
    del held
    assert tp_clear(c) == 0
    assert dead() is None and seen == [None, NOT_SUB] and slots(c) is None
    c.__init__()
    assert slots(c) == [None] * 32
