"""Copying, pickling and state restoration of Cache."""

import builtins
import copy
import gc
import pickle
import sys

import pytest

from conftest import Key, slots
from quor_ui.core.enums import CacheType
from quor_ui.fast.quorcache import quorcache

Cache = quorcache.Cache
MOD = "quor_ui.fast.quorcache.quorcache"
CHECKSUMS = [0xBD51CB4, 0xE95C4D5, 0xC883660]
NONE_MSG = "'NoneType' object is not subscriptable"
TupleSub = type("TupleSub", (tuple,), {})
ListSub = type("ListSub", (list,), {})


class Tagged(Cache):
    """Module-level subclass (pickle finds it by name) that records its construction."""

    calls = []

    def __new__(cls, *args, **kwargs):
        cls.calls.append("new")
        return super().__new__(cls)

    def __init__(self):
        self.calls.append("init")
        super().__init__()


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.fixture(autouse=True)
def _reset_calls():
    Tagged.calls.clear()


def filled(c, *pairs):
    for idx, obj in pairs:
        c.set(Key(idx), obj)
    return c


def check_raises(exc, message, fn, *args):
    with pytest.raises(exc) as err:
        fn(*args)
    assert type(err.value) is exc
    assert message is None or str(err.value) == message


def live_caches():
    gc.collect()
    return sum(isinstance(o, Cache) for o in gc.get_objects())


def proto0(checksum, items):
    """A hand-built protocol-0 pickle of the 3-tuple form whose state list holds ``items``."""
    appends = "".join(f"I{i}\na" for i in items)
    return f"c{MOD}\n__pyx_unpickle_Cache\n(c{MOD}\nCache\nI{checksum}\nNtR((l{appends}tb.".encode()


# copying

@pytest.mark.parametrize("source", [Cache, Tagged])
@pytest.mark.parametrize("rebind", [False, True])
def test_copy_is_exact_cache_sharing_entries(monkeypatch, mod, source, rebind):
    objs = [object(), object(), object()]
    src = filled(source(), *zip((0, 17, 31), objs))
    if source is Tagged:
        src.tag = 1
    if rebind:
        monkeypatch.setattr(mod, "Cache", Tagged)
    before = [sys.getrefcount(o) for o in objs]
    dup = src.copy()
    assert type(dup) is Cache and dup is not src and getattr(dup, "__dict__", None) is None
    new, old = slots(dup), slots(src)
    assert new is not old and len(new) == 32 and all(a is b for a, b in zip(new, old))
    assert [sys.getrefcount(o) for o in objs] == [n + 1 for n in before]


def test_copy_is_independent_both_ways(key):
    shared = []
    c = filled(Cache(), (3, shared), (5, "five"))
    d = c.copy()
    shared.append(1)
    d.set(key, "d")
    assert c.get(key) is shared and shared == [1]
    c.clear()
    assert d.get(key) == "d" and d.get(Key(5)) == "five"
    s = copy.copy(c)  # goes through __reduce__ and __setstate__: shares the slot list
    s.set(key, "s")
    assert type(s) is Cache and slots(s) is slots(c) and c.get(key) == "s"


@pytest.mark.parametrize("via_setstate", [False, True])
@pytest.mark.parametrize("op", [Cache.copy, copy.deepcopy, lambda c: c.__deepcopy__({})])
def test_copy_of_missing_slot_list_refused(via_setstate, op):
    c = Cache() if via_setstate else Cache.__new__(Cache)
    if via_setstate:
        c.__setstate__((None,))
    before = live_caches()
    check_raises(TypeError, NONE_MSG, op, c)
    assert live_caches() == before and slots(c) is None


def test_deepcopy_is_shallow_and_leaves_memo(key):
    inner, memo = [1], {"k": "v"}
    c = filled(Cache(), (3, inner))
    for dup in (c.__deepcopy__(memo), c.__deepcopy__(memo=memo), copy.deepcopy(c)):
        assert type(dup) is Cache and dup.get(key) is inner and slots(dup) is not slots(c)
    assert memo == {"k": "v"} and type(c.__deepcopy__(None)) is Cache


def test_deepcopy_uses_overridden_copy_unchecked():
    result, calls = object(), []

    class Own(Cache):
        def copy(self):
            calls.append(self)
            if len(calls) > 2:
                raise LookupError("from copy")
            return result

    own = Own()
    assert copy.deepcopy(own) is result and own.__deepcopy__({}) is result
    check_raises(LookupError, "from copy", own.__deepcopy__, {})
    assert calls == [own, own, own]


# reduce and reconstruction

@pytest.mark.parametrize("cls, lst, attrs", [
    (Cache, [None] * 32, {}), (Cache, None, {}), (Tagged, [None] * 32, {"tag": 1}),
    (Tagged, [], {}), (Tagged, None, {"tag": 1}), (Tagged, None, {})])
def test_reduce_shapes(mod, cls, lst, attrs):
    c = Cache.__new__(cls)
    c.__setstate__((lst,))
    if attrs:
        c.__dict__.update(attrs)
    r = c.__reduce__()
    assert r[0] is mod.__pyx_unpickle_Cache
    if attrs or lst is not None:
        assert r[1:] == ((cls, 198515892, None), (lst, attrs) if attrs else (lst,))
        assert r[2][0] is lst and r[2][-1] is (c.__dict__ if attrs else lst)
    else:
        assert r[1:] == ((cls, 198515892, (None,)),)


class DictNamer(type):
    """A key type that also lists the name __dict__ among its members."""

    def __getitem__(cls, name):
        return Key(2)

    @property
    def __members__(cls):
        if cls.fail:
            raise RuntimeError("members")
        return {"__dict__": Key(2)}


class DictNamed(metaclass=DictNamer):
    fail = False


def test_reduce_asks_the_key_type_about_dict(monkeypatch, mod):
    c = filled(Cache(), (2, {"in": "slot 2"}))
    monkeypatch.setattr(mod, "CacheType", DictNamed)
    r = c.__reduce__()
    assert r[2][1] == {"in": "slot 2"} and len(r[2]) == 2
    DictNamed.fail = True
    try:
        with pytest.raises(RuntimeError, match="members"):
            c.__reduce__()
    finally:
        DictNamed.fail = False
    monkeypatch.delattr(mod, "CacheType")
    with pytest.raises(NameError):
        c.__reduce__()


def test_reduce_looks_up_reconstructor_each_call(monkeypatch, mod, cache):
    sentinel = object()
    monkeypatch.setattr(mod, "__pyx_unpickle_Cache", sentinel)
    assert cache.__reduce__()[0] is sentinel
    monkeypatch.delattr(mod, "__pyx_unpickle_Cache")
    check_raises(NameError, "name '__pyx_unpickle_Cache' is not defined", cache.__reduce__)
    monkeypatch.setattr(builtins, "__pyx_unpickle_Cache", sentinel, raising=False)
    assert cache.__reduce__()[0] is sentinel


@pytest.mark.parametrize("checksum", CHECKSUMS + [198515892.0])
def test_unpickle_accepts_checksums(mod, checksum):
    c = mod.__pyx_unpickle_Cache(Cache, checksum, None)
    assert type(c) is Cache and slots(c) is None
    lst = [1, 2]
    t = mod.__pyx_unpickle_Cache(__pyx_state=(lst, {"tag": 5}), __pyx_type=Tagged,
                                 __pyx_checksum=checksum)
    assert type(t) is Tagged and slots(t) is lst and t.tag == 5 and Tagged.calls == []


@pytest.mark.parametrize("checksum, shown", [
    (1, "0x1"), (-1, "0xffffffff"), (0x100000001, "0x1"), (0, "0x0"), (0xBD51CB5, "0xbd51cb5")])
def test_unpickle_refuses_other_checksums(mod, checksum, shown):
    # int as the class: the checksum is refused before any instance is made.
    check_raises(pickle.PickleError, f"Incompatible checksums ({shown} vs (0xbd51cb4, 0xe95c4d5, "
                 "0xc883660) = (cache_arr))", mod.__pyx_unpickle_Cache, int, checksum, None)


@pytest.mark.parametrize("cls, checksum, state, exc, message", [
    (Cache, 1, [], TypeError, "Argument '__pyx_state' has incorrect type (expected tuple, got list)"),
    (Cache, 1, TupleSub(), TypeError,
     "Argument '__pyx_state' has incorrect type (expected tuple, got TupleSub)"),
    (Cache, "198515892", [], TypeError, "an integer is required"),
    (Cache, 2**64, [], OverflowError, None),
    (int, 198515892, None, TypeError, None),
    (Cache, 198515892, (), IndexError, "tuple index out of range"),
    (Cache, 198515892, ((1, 2),), TypeError, "Expected list, got tuple"),
    (Cache, 198515892, ([], {"a": 1}), AttributeError, None),
    (Tagged, 198515892, ([], [("a", 1)]), AttributeError, None),
])
def test_unpickle_refusals_in_order_releasing_instance(mod, cls, checksum, state, exc, message):
    before = live_caches()
    check_raises(exc, message, mod.__pyx_unpickle_Cache, cls, checksum, state)
    assert live_caches() == before and Tagged.calls == []


# state application

def test_setstate_installs_the_very_list(cache, key):
    old, lst = slots(cache), [None] * 32
    refs = sys.getrefcount(old)
    assert cache.__setstate__((lst,)) is None and sys.getrefcount(old) == refs - 1
    cache.set(key, "x")
    assert lst[3] == "x" and slots(cache) is lst
    cache.__setstate__(__pyx_state=(None,))
    check_raises(TypeError, NONE_MSG, cache.get, key)


@pytest.mark.parametrize("state, exc, message", [
    (((1, 2),), TypeError, "Expected list, got tuple"),
    ((ListSub([1]),), TypeError, "Expected list, got ListSub"),
    (None, TypeError, "cannot pass None into a C function argument that is declared 'not None'"),
    ([], TypeError, "Expected tuple, got list"),
    (TupleSub(([],)), TypeError, "Expected tuple, got TupleSub"),
    ((), IndexError, "tuple index out of range"),
])
def test_setstate_refusals_leave_cache_unchanged(cache, key, state, exc, message):
    cache.set(key, "kept")
    lst = slots(cache)
    refs = sys.getrefcount(lst)
    check_raises(exc, message, cache.__setstate__, state)
    assert sys.getrefcount(lst) == refs
    assert slots(cache) is lst and cache.get(key) == "kept"


def test_setstate_dict_overrides_attributes_already_set():
    c = Tagged()
    c.tag, c.other = "old", "kept"
    lst = [None] * 32
    c.__setstate__((lst, {"tag": "new", "added": 1}))
    assert vars(c) == {"tag": "new", "other": "kept", "added": 1} and slots(c) is lst


@pytest.mark.parametrize("rest, exc", [
    (({},), None), ((None,), None), ((0, {"a": 1}), None), ((None, {"a": 1}, 3), None),
    (({"a": 1},), AttributeError), ((BadBool(),), ZeroDivisionError)])
def test_setstate_second_item(cache, rest, exc):
    lst = []
    if exc is None:
        cache.__setstate__((lst,) + rest)
    else:  # the slot list is installed before the dictionary is touched
        check_raises(exc, None, cache.__setstate__, (lst,) + rest)
    assert slots(cache) is lst


def test_type_dict_holds_pickle_hooks():
    assert {"__reduce__", "__setstate__", "__deepcopy__"} <= Cache.__dict__.keys()
    assert not {"__reduce_ex__", "__getstate__", "__copy__"} & Cache.__dict__.keys()
    assert Cache.__reduce_ex__ is object.__reduce_ex__
    assert Cache.__getstate__ is object.__getstate__


# round trips

ASSORTED = [(0, 1), (3, "text"), (7, [1, [2]]), (12, {"k": (1, 2.5)}), (20, b"\x00b"),
            (25, CacheType.ICONS), (31, frozenset({3}))]


@pytest.mark.parametrize("proto", range(pickle.HIGHEST_PROTOCOL + 1))
def test_round_trip(proto, key):
    c = filled(Cache(), *ASSORTED)
    d = pickle.loads(pickle.dumps(c, proto))
    assert type(d) is Cache and slots(d) == slots(c) and d.get(Key(25)) is CacheType.ICONS
    e = pickle.loads(pickle.dumps(Cache.__new__(Cache), proto))
    assert type(e) is Cache and slots(e) is None
    t = filled(Tagged(), (3, "t"))
    t.tag = {"x": 1}
    Tagged.calls.clear()
    u = pickle.loads(pickle.dumps(t, proto))
    assert type(u) is Tagged and u.tag == {"x": 1} and u.get(key) == "t" and Tagged.calls == []
    c.set(key, c)  # the memo keeps a shared slot list shared and a self-reference intact
    a, b = pickle.loads(pickle.dumps((c, copy.copy(c)), proto))
    assert slots(a) is slots(b) and a.get(key) is a


@pytest.mark.parametrize("checksum", CHECKSUMS)
def test_hand_made_pickles(checksum):
    c = pickle.loads(proto0(checksum, [7, 8]))
    assert type(c) is Cache and slots(c) == [7, 8] and c.get(Key(1)) == 8
    check_raises(pickle.PickleError, None, pickle.loads, proto0(checksum + 1, []))


@pytest.mark.parametrize("length, inside, outside", [(0, None, 0), (5, 4, 5), (40, 31, 35)])
def test_installed_list_of_other_length_keeps_bounds(cache, length, inside, outside):
    lst = [None] * length
    cache.__setstate__((lst,))
    if inside is not None:
        cache.set(Key(inside), "in")
        assert cache.get(Key(inside)) == "in" and lst[inside] == "in"
    snapshot, called, k = list(lst), [], Key(outside)
    for op in (lambda: cache.get(k), lambda: cache.set(k, 1), lambda: cache.get_or_set_val(k, 1),
               lambda: cache.get_or_exec(k, lambda: called.append(1))):
        check_raises(IndexError, f"Cache slot index {outside} is out of range", op)
    assert lst == snapshot and called == []
    assert slots(cache.copy()) == lst and slots(cache.copy()) is not lst


class Shifty(Cache):
    """A __dict__ whose lookup replaces the slot list."""

    def __init__(self, then):
        super().__init__()
        self.then = then

    @property
    def __dict__(self):
        self.__setstate__((self.then,))
        return {}


@pytest.mark.parametrize("then, shape", [(None, 2), ([None] * 32, 3)])
def test_reduce_shape_follows_the_list_left_by_the_dict_lookup(then, shape):
    first = [None] * 32 if then is None else None
    c = Shifty(then)
    c.__setstate__((first,))
    r = c.__reduce__()
    assert len(r) == shape
    state = r[2] if shape == 3 else r[1][2]
    assert len(state) == 1 and state[0] is first  # the list read before the lookup
