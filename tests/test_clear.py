import enum
import sys
import weakref

import pytest

from conftest import NOT_SUB, Key, OnDel, Tracked, slots, tb_names


class E(enum.Enum):
    X = 0
    Y = 5
    Z = 31


X, Y, Z = E.X, E.Y, E.Z
MEMBERS = {0, 5, 31}
FILLED = [f"v{i}" for i in range(32)]


L = type("L", (list,), {})
BAD_BOOL = type("BadBool", (), {"__bool__": lambda self: 1 / 0})()


def emptied(c):
    return {i for i, v in enumerate(slots(c)) if v is None}


@pytest.fixture
def full(mod, monkeypatch):
    """A cache under the test enum with every slot filled, most through non-member keys."""
    monkeypatch.setattr(mod, "CacheType", E)
    c = mod.Cache()
    for i in range(32):
        c.set(Key(i), FILLED[i])
    return c


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, MEMBERS),
    ((None, []), {}, MEMBERS),
    (([], None), {}, MEMBERS),
    ((0, L()), {}, MEMBERS),
    ((), {"whitelist": ()}, MEMBERS),
    (([X, Key(7)],), {}, {5, 31}),
    ((), {"whitelist": [X, Y]}, {0, 5}),
    (([X], [X, Y]), {}, {5}),
    (([X, Y], [X]), {}, set()),
    (([Key(40)], [Key(-1)]), {}, set()),
    (([Key(-1), Key(True)], [Key(1), Key(7), Key(7), Key(40), Z]), {}, {7, 31}),
])
def test_selection(full, args, kwargs, expected):
    assert full.clear_selected(*args, **kwargs) is None
    assert emptied(full) == expected
    assert all(slots(full)[i] == FILLED[i] for i in set(range(32)) - expected)


@pytest.mark.parametrize("args, exc, msg, names", [
    ((None, (X,)), TypeError, "Expected list, got tuple", ["clear_selected"]),
    ((True,), TypeError, "Expected list, got bool", ["clear_selected"]),
    ((L([X]),), TypeError, "Expected list, got L", ["clear_selected"]),
    (((X,), True), TypeError, "Expected list, got tuple", ["clear_selected"]),
    (([X], BAD_BOOL), ZeroDivisionError, None, ["clear_selected", "<lambda>"]),
    ((None, [X, object()]), AttributeError, None, ["clear_selected", "c_clear_selected"]),
    (([object()], [X]), AttributeError, None, ["clear_selected", "c_clear_selected"]),
    (([X], [Y, Key("5")]), TypeError, "an integer is required",
     ["clear_selected", "c_clear_selected"]),
])
def test_refused_before_any_slot_changes(full, args, exc, msg, names):
    with pytest.raises(exc) as err:
        full.clear_selected(*args)
    if msg is not None:
        assert err.value.args == (msg,)
    assert tb_names(err) == names
    assert slots(full) == FILLED


@pytest.mark.parametrize("mutate, expected", [
    (lambda lst: lst.append(Key(5)), set()),
    (lambda lst: lst.clear(), {5, 31}),
])
def test_blacklist_changed_while_walked(full, mutate, expected):
    blacklist = []
    item = type("Item", (), {"value": property(lambda self: mutate(blacklist) or 0)})()
    blacklist += [item, Key(31)]
    full.clear_selected(blacklist)
    assert emptied(full) == expected


def test_clear_empties_every_slot_and_releases_each_once(cache):
    obj = Tracked()
    base = sys.getrefcount(obj)
    for i in range(32):
        cache.set(Key(i), obj)
    assert cache.clear_selected() is None
    assert emptied(cache) == set(range(8)) and sys.getrefcount(obj) == base + 24
    assert cache.clear() is None
    assert slots(cache) == [None] * 32 and sys.getrefcount(obj) == base


def test_lists_of_other_lengths(full):
    lst = list(range(40))
    full.__setstate__((lst,))
    full.clear()
    assert lst == [None] * 32 + list(range(32, 40)) and slots(full) is lst
    lst = list(range(6))
    full.__setstate__((lst,))
    full.clear_selected([Z], [X, Y, Z])
    assert lst == [None, 1, 2, 3, 4, None]


@pytest.mark.parametrize("call, name, length, index", [
    (lambda c: c.clear(), "clear", 5, 5),
    (lambda c: c.clear(), "clear", 0, 0),
    (lambda c: c.clear_selected(), "clear_selected", 4, 5),
    (lambda c: c.clear_selected([Y], [Key(2), Key(5), Key(9), Key(12)]), "clear_selected", 8, 9),
])
def test_short_list_refused_before_touching(full, call, name, length, index):
    lst = list(range(length))
    full.__setstate__((lst,))
    with pytest.raises(IndexError) as err:
        call(full)
    assert err.value.args == (f"Cache slot index {index} is out of range",)
    assert lst == list(range(length))
    assert tb_names(err) == [name, "c_" + name]


def test_uninitialised_cache(mod, full):
    bare = mod.Cache.__new__(mod.Cache)
    with pytest.raises(TypeError) as err:
        bare.clear()
    assert err.value.args == (NOT_SUB,) and tb_names(err) == ["clear", "c_clear"]
    assert bare.clear_selected(whitelist=[Key(40)]) is None
    assert bare.clear_selected([X, Y, Z]) is None
    with pytest.raises(TypeError) as err:
        bare.clear_selected([X])
    assert err.value.args == (NOT_SUB,)
    assert tb_names(err) == ["clear_selected", "c_clear_selected"]


def test_default_whitelist_needs_cachetype(full, mod, monkeypatch):
    lst = slots(full)   # reading the state looks up __dict__, which needs CacheType too
    monkeypatch.delattr(mod, "CacheType")
    with pytest.raises(NameError) as err:
        full.clear_selected([X])
    assert str(err.value) == "name 'CacheType' is not defined"
    assert tb_names(err) == ["clear_selected"] and lst == FILLED
    full.clear_selected(whitelist=[X])
    assert lst == [None] + FILLED[1:]


@pytest.mark.parametrize("method", ["clear", "clear_selected"])
@pytest.mark.parametrize("action, slot0", [
    (lambda c: c.set(Key(0), "back"), "back"),
    (lambda c: c.set(Key(5), "late"), None),
    (lambda c: c.clear(), None),
    (lambda c: c.__init__(), None),
])
def test_released_object_reenters_clear(full, method, action, slot0):
    last = Tracked()
    ref = weakref.ref(last)
    full.set(Z, last)
    full.set(X, OnDel(lambda: action(full)))
    del last
    getattr(full, method)()
    assert slots(full)[0] == slot0 and slots(full)[5] is None and ref() is None


def test_list_dropped_during_clear(full):
    lst = slots(full)
    full.set(X, OnDel(lambda: full.__setstate__((None,))))
    with pytest.raises(TypeError) as err:
        full.clear()
    assert err.value.args == (NOT_SUB,)
    assert lst == [None] + FILLED[1:] and slots(full) is None


class Logged:
    """A key whose every `value` read is logged; `fails` makes the read raise."""

    def __init__(self, log, name, value=0, fails=False):
        self.log, self.name, self.index, self.fails = log, name, value, fails

    @property
    def value(self):
        self.log.append(self.name)
        if self.fails:
            raise LookupError(self.name)
        return self.index


def test_blacklist_is_resolved_before_whitelist(full):
    log = []
    full.clear_selected([Logged(log, "b1", 5), Logged(log, "b2", 0)],
                        [Logged(log, "w1", 31), Logged(log, "w2", 0)])
    assert log == ["b1", "b2", "w1", "w2"] and emptied(full) == {31}
    log.clear()
    with pytest.raises(LookupError) as err:
        full.clear_selected([Logged(log, "b1"), Logged(log, "bad b", fails=True)],
                            [Logged(log, "bad w", fails=True)])
    assert err.value.args == ("bad b",) and log == ["b1", "bad b"]
    assert emptied(full) == {31}
