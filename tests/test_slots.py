import builtins
import copy
import enum
import sys
import weakref

import pytest

from conftest import NOT_SUB, Key, OnDel, Tracked, slots, tb_names

BAD_KEY = "The key for cache access must be of type CacheType"


class T(enum.Enum):
    A = 3
    get = 1
    copy = 2


class Probe:  # stands in for CacheType and its members
    def __init__(self, value, hook=lambda: None):
        self.reads, self._value, self._hook = 0, value, hook

    @property
    def value(self):
        self.reads += 1
        self._hook()
        return self._value


def boom():
    raise ValueError("boom")


@pytest.fixture
def t_enum(monkeypatch, mod):
    monkeypatch.setattr(mod, "CacheType", T)


def test_reads_return_the_stored_object(cache, t_enum):
    assert cache.get(T.A) is None and cache[T.A] is None and cache.A is None
    obj = Tracked()
    cache.set(T.A, obj)
    base = sys.getrefcount(obj)
    assert cache.get(T.A) is obj and cache[T.A] is obj and cache.A is obj
    assert cache.__getattr__("A") is obj and cache.get(Key(3)) is obj
    assert sys.getrefcount(obj) == base and slots(cache)[3] is obj


@pytest.mark.parametrize("op", [
    lambda c: c[3], lambda c: c["A"], lambda c: c[None], lambda c: c[Key(3)],
    lambda c: list(c), lambda c: 3 in c,
])
def test_subscription_refuses_non_members(cache, t_enum, op):
    with pytest.raises(TypeError) as err:
        op(cache)
    assert err.value.args == (BAD_KEY,)


def test_attribute_access(cache, t_enum):
    with pytest.raises(AttributeError) as err:
        cache.B
    assert err.value.args == ("B",)
    assert not hasattr(cache, "B") and getattr(cache, "B", Tracked) is Tracked
    with pytest.raises(AttributeError):
        cache.__dict__
    assert getattr(cache, "__dict__", None) is None
    # Methods win over members of the same name; those stay readable by key.
    cache.set(T.get, "g")
    cache.set(T.copy, "c")
    assert cache.get.__name__ == "get" and cache.copy.__name__ == "copy"
    assert cache.get(T.get) == "g" and cache[T.copy] == "c"
    with pytest.raises(TypeError) as err:
        getattr(cache, type("S", (str,), {})("A"))
    assert str(err.value) == "Argument 'type' has incorrect type (expected str, got S)"
    with pytest.raises(AttributeError) as err:  # None passes the type test, then is no member
        cache.__getattr__(None)
    assert err.value.args == (None,)


def test_cachetype_is_looked_up_at_each_use(cache, mod, monkeypatch, key):
    cache.set(key, "x")
    assert cache[key] == "x" and cache.LAYOUT == "x"
    monkeypatch.setattr(mod, "CacheType", T)
    with pytest.raises(TypeError, match=BAD_KEY):
        cache[key]
    assert cache[T.A] == "x" and cache.A == "x" and not hasattr(cache, "LAYOUT")
    monkeypatch.delattr(mod, "CacheType")
    for op in (lambda: cache[T.A], lambda: cache.A, lambda: hasattr(cache, "A")):
        with pytest.raises(NameError) as err:
            op()
        assert str(err.value) == "name 'CacheType' is not defined"
    assert cache.get(key) == "x"
    monkeypatch.setattr(builtins, "CacheType", T, raising=False)
    assert cache[T.A] == "x" and cache.A == "x"


class Switching:
    """A member listing whose membership test rebinds the module's CacheType to `then`."""

    def __init__(self, mod, then):
        self.mod, self.then = mod, then

    def __contains__(self, name):
        self.mod.CacheType = self.then
        return True


class Listing(type):
    """A key type whose members are listed by a custom mapping and fetched by `pick`."""

    @property
    def __members__(cls):
        return cls.listing

    def __getitem__(cls, name):
        return cls.pick


def test_member_is_fetched_from_the_cachetype_bound_after_the_test(cache, mod, monkeypatch):
    second = Listing("Second", (), {"pick": Probe(2)})
    first = Listing("First", (), {"pick": Probe(1), "listing": Switching(mod, second)})
    monkeypatch.setattr(mod, "CacheType", first)
    cache.set(Key(1), "first")
    cache.set(Key(2), "second")
    assert cache.A == "second" and mod.CacheType is second
    assert first.pick.reads == 0 and second.pick.reads == 1


def replaced_by_value(replace):
    class Hooked(enum.Enum):
        A = 3

        @property
        def value(self):
            replace()
            return self._value_

    return Hooked


def replaced_by_getitem(replace):
    class Meta(enum.EnumType):
        def __getitem__(cls, name):
            replace()
            return super().__getitem__(name)

    class Hooked(enum.Enum, metaclass=Meta):
        A = 3

    return Hooked


@pytest.mark.parametrize("then", [["new"] * 32, None])
@pytest.mark.parametrize("hooked", [replaced_by_value, replaced_by_getitem],
                         ids=["member value", "CacheType.__getitem__"])
def test_member_read_uses_the_list_taken_before_resolving(cache, mod, monkeypatch, then, hooked):
    old = slots(cache)
    cache.set(Key(3), "old")
    monkeypatch.setattr(mod, "CacheType", hooked(lambda: cache.__setstate__((then,))))
    assert cache.A == "old" and slots(cache) is then and old[3] == "old"


def test_subscription_order_of_checks(cache, mod, monkeypatch):
    monkeypatch.setattr(mod, "CacheType", Probe)
    probe = Probe(3)
    with pytest.raises(TypeError) as err:
        mod.Cache.__new__(mod.Cache)[probe]
    assert err.value.args == (NOT_SUB,) and probe.reads == 0
    old = Tracked()
    cache.set(Key(3), old)
    # Subscription keeps the list it tested; get takes the list after resolving.
    assert cache[Probe(3, cache.__init__)] is old and cache.get(Key(3)) is None
    cache.set(Key(3), old)
    assert cache.get(Probe(3, cache.__init__)) is None


@pytest.mark.parametrize("state, op, exc, msg, names", [
    (None, lambda c, k: c.get(k), TypeError, NOT_SUB, ["get", "c_get"]),
    (None, lambda c, k: c.set(k, 1), TypeError, NOT_SUB, ["set", "c_set"]),
    (None, lambda c, k: c.get_or_set_val(k, 1), TypeError, NOT_SUB,
     ["get_or_set_val", "c_get_or_set_val"]),
    (None, lambda c, k: c.get_or_exec(k, boom), TypeError, NOT_SUB,
     ["get_or_exec", "c_get_or_exec"]),
    (None, lambda c, k: c[k], TypeError, NOT_SUB, ["__getitem__"]),
    (None, lambda c, k: c.LAYOUT, TypeError, NOT_SUB, ["__getattr__"]),
    (None, lambda c, k: c[3], TypeError, BAD_KEY, ["__getitem__"]),
    (None, lambda c, k: c.get(object()), AttributeError, None, ["get"]),
    (None, lambda c, k: c.get_or_exec(object(), boom), AttributeError, None, ["get_or_exec"]),
    (3, lambda c, k: c[k], IndexError, "Cache slot index 3 is out of range", ["__getitem__"]),
    (3, lambda c, k: c.LAYOUT, IndexError, "Cache slot index 3 is out of range", ["__getattr__"]),
    (32, lambda c, k: c.set(None, 1), AttributeError, None, ["set"]),
    (32, lambda c, k: c.get_or_exec(k, boom), ValueError, "boom",
     ["get_or_exec", "c_get_or_exec", "boom"]),
    (32, lambda c, k: c.get_or_exec(k, 5), TypeError, "'int' object is not callable",
     ["get_or_exec", "c_get_or_exec"]),
    (32, lambda c, k: c.get_or_exec(None, None), TypeError,
     "Argument 'type' must not be None", []),
    (32, lambda c, k: (c.set(k, 1), c.get_or_exec(k, None)), TypeError,
     "Argument 'func' must not be None", []),
])
def test_failures(mod, key, state, op, exc, msg, names):
    c = mod.Cache.__new__(mod.Cache)
    if state is not None:
        c.__setstate__(([None] * state,))
    with pytest.raises(exc) as err:
        op(c, key)
    if msg is not None:
        assert err.value.args == (msg,)
    assert tb_names(err) == names


@pytest.mark.parametrize("index, length", [(-1, 32), (32, 40), (2**31 - 1, 32), (3, 2), (0, 0)])
@pytest.mark.parametrize("op, name", [
    (lambda c, k: c.get(k), "get"),
    (lambda c, k: c.set(k, "x"), "set"),
    (lambda c, k: c.get_or_set_val(k, "x"), "get_or_set_val"),
    (lambda c, k: c.get_or_exec(k, pytest.fail), "get_or_exec"),
])
def test_index_out_of_range(cache, index, length, op, name):
    lst = [None] * length
    cache.__setstate__((lst,))
    with pytest.raises(IndexError) as err:
        op(cache, Key(index))
    assert err.value.args == (f"Cache slot index {index} is out of range",)
    assert lst == [None] * length and slots(cache) is lst
    assert tb_names(err) == [name, "c_" + name]


def test_writes_store_the_object_itself(cache, key):
    v, w = Tracked(), Tracked()
    base = sys.getrefcount(v)
    assert cache.set(key, v) is None and cache.get(key) is v
    assert sys.getrefcount(v) == base + 1
    assert cache.get_or_set_val(key, w) is v and cache.get_or_exec(key, pytest.fail) is v
    cache.set(key, w)
    assert sys.getrefcount(v) == base and cache.get(Key(3)) is w
    cache.set(key, None)
    assert cache.get(key) is None and sys.getrefcount(w) == base
    assert cache.get_or_set_val(key, None) is None and cache.get(key) is None
    calls = []
    assert cache.get_or_exec(key, lambda: calls.append(1)) is None
    assert cache.get_or_exec(key, lambda: calls.append(1)) is None and calls == [1, 1]
    assert cache.get_or_set_val(Key(3), v) is v
    assert sys.getrefcount(v) == base + 1
    cache.set(key, None)
    assert cache.get_or_exec(Key(3), [w].pop) is w and cache.get(key) is w
    assert cache.get_or_set_val(key, v) is w and cache.get_or_exec(key, 1) is w
    assert sys.getrefcount(w) == base + 1 and sys.getrefcount(v) == base


class Maker:
    def make(self):
        return self


def test_get_or_exec_calls_a_bound_method_with_its_self(cache, key):
    maker = Maker()
    assert cache.get_or_exec(key, maker.make) is maker and cache.get(key) is maker


@pytest.mark.parametrize("held", [0, False, "", [], ()])
def test_falsy_objects_fill_a_slot(cache, key, held):
    cache.set(key, held)
    assert cache.get_or_set_val(key, "new") is held
    assert cache.get_or_exec(key, 5) is held and cache.get(key) is held


def test_get_or_exec_with_reentrant_func(cache, key):
    x, y = Tracked(), Tracked()
    ref_x = weakref.ref(x)

    def stores():
        cache.set(key, x)
        return y
    assert cache.get_or_exec(key, stores) is y and cache.get(key) is y
    del x, stores
    assert ref_x() is None
    cache.set(key, None)
    cache.set(Key(0), "z")
    old = slots(cache)

    def reinit():
        cache.__init__()
        return y
    assert cache.get_or_exec(key, reinit) is y
    assert slots(cache) is not old and slots(cache)[3] is y and slots(cache)[0] is None
    assert old[3] is None and old[0] == "z"


@pytest.mark.parametrize("replace, exc, msg, after", [
    (lambda c: c.__setstate__(([None] * 2,)), IndexError,
     "Cache slot index 3 is out of range", [None, None]),
    (lambda c: c.__setstate__((None,)), TypeError, NOT_SUB, None),
])
def test_get_or_exec_checks_the_list_func_left(cache, key, replace, exc, msg, after):
    box = [Tracked()]
    ref = weakref.ref(box[0])

    def func():
        replace(cache)
        return box.pop()
    with pytest.raises(exc) as err:
        cache.get_or_exec(key, func)
    assert err.value.args == (msg,)
    assert slots(cache) == after and ref() is None
    assert tb_names(err) == ["get_or_exec", "c_get_or_exec"]


@pytest.mark.parametrize("action, expected", [
    (lambda c, k: c.set(k, "from_del"), "from_del"),
    (lambda c, k: c.get_or_set_val(k, "from_del"), "new"),
    (lambda c, k: c.clear(), None),
    (lambda c, k: c.__init__(), None),
])
def test_released_object_reenters_set(cache, key, action, expected):
    cache.set(key, OnDel(lambda: action(cache, key)))
    cache.set(key, "new")
    assert cache.get(key) == expected


def test_get_or_exec_result_outlives_the_old_objects_finalizer(cache, key):
    # func fills the slot itself; storing the result releases that object, whose
    # finalizer overwrites the slot: the result must survive until then, and go after.
    events = []

    class Result:
        def __del__(self):
            events.append("result freed")

    def func():
        cache.set(key, OnDel(lambda: (cache.set(key, "from_del"), events.append("old done"))))
        return Result()

    assert cache.get_or_exec(key, func) == "from_del"
    assert events == ["old done", "result freed"]


def test_the_intended_surprises_the_readme_lists(cache, key):
    for probe in (lambda: list(cache), lambda: key in cache):
        with pytest.raises(TypeError, match=f"^{BAD_KEY}$"):
            probe()
    with pytest.raises(AttributeError) as err:
        cache.NOPE
    assert str(err.value) == "NOPE"
    with pytest.raises(AttributeError, match="'int' object has no attribute 'value'"):
        cache.get(0)
    cache.set(key, "three")                       # key is slot 3
    assert cache.get(Key(3.9)) == "three"
    cache.clear_selected(whitelist=[])
    assert cache.get(key) is None
    shallow, own, deep = copy.copy(cache), cache.copy(), copy.deepcopy(cache)
    assert slots(shallow) is slots(cache)
    assert slots(own) is not slots(cache) and slots(deep) is not slots(cache)
