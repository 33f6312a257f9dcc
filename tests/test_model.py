"""Random operation sequences on Cache instances, checked against a small Python model."""
import copy
import os
import pickle

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from conftest import Key, slots
from quor_ui.core.enums import CacheType
from quor_ui.fast.quorcache.quorcache import Cache

settings.register_profile("ci", max_examples=200, stateful_step_count=50, deadline=None)
settings.register_profile("soak", max_examples=3000, stateful_step_count=80, deadline=None)
settings.load_profile("soak" if os.environ.get("QUORCACHE_SOAK") else "ci")

NOT_SUB = "'NoneType' object is not subscriptable"


class Token:
    """A picklable slot object; copies made by pickling compare equal."""

    def __init__(self, n):
        self.n = n

    def __eq__(self, other):
        return type(other) is Token and other.n == self.n

    __hash__ = object.__hash__


class IntLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class ListSub(list):
    pass


def to_int32(v):
    if not isinstance(v, int):
        if not hasattr(type(v), "__int__"):
            raise TypeError("an integer is required")
        v = type(v).__int__(v)
        if not isinstance(v, int):
            raise TypeError(f"__int__ returned non-int (type {type(v).__name__})")
    if not -2 ** 63 <= v < 2 ** 63:
        raise OverflowError("Python int too large to convert to C long")
    if not -2 ** 31 <= v < 2 ** 31:
        raise OverflowError("value too large to convert to int")
    return int(v)


def resolve(key):
    return to_int32(key.value)


class Model:
    """What a Cache holds: its slot list (a Python list shared as the real one is) or None."""

    def __init__(self, arr):
        self.arr = arr

    def entry(self, k, arr=None):
        arr = self.arr if arr is None else arr
        if arr is None:
            raise TypeError(NOT_SUB)
        if not 0 <= k < 32 or k >= len(arr):
            raise IndexError(f"Cache slot index {k} is out of range")
        return k

    def get(self, key):
        if key is None:
            raise TypeError("Argument 'type' must not be None")
        return self.arr[self.entry(resolve(key))]

    def subscript(self, key):
        if not isinstance(key, CacheType):
            raise TypeError("The key for cache access must be of type CacheType")
        if self.arr is None:
            raise TypeError(NOT_SUB)
        return self.arr[self.entry(resolve(key))]

    def attr(self, name):
        if name not in CacheType.__members__:
            raise AttributeError(name)
        return self.subscript(CacheType[name])

    def set(self, key, value):
        k = self.entry(resolve(key))
        self.arr[k] = value

    def get_or_set_val(self, key, value):
        k = self.entry(resolve(key))
        if self.arr[k] is None:
            self.arr[k] = value
        return self.arr[k]

    def get_or_exec(self, key, func):
        if key is None:
            raise TypeError("Argument 'type' must not be None")
        if func is None:
            raise TypeError("Argument 'func' must not be None")
        k = self.entry(resolve(key))
        if self.arr[k] is not None:
            return self.arr[k]
        result = func()
        self.arr[self.entry(k)] = result
        return self.arr[k]

    def clear(self, picked=range(32)):
        if self.arr is not None:
            for i in picked:
                if i >= len(self.arr):
                    raise IndexError(f"Cache slot index {i} is out of range")
        for i in picked:
            self.arr[self.entry(i)] = None

    def clear_selected(self, blacklist, whitelist):
        blacklist = blacklist if blacklist else []
        whitelist = whitelist if whitelist else list(CacheType.__members__.values())
        for keys in (blacklist, whitelist):
            if type(keys) is not list:
                raise TypeError(f"Expected list, got {type(keys).__name__}")
        bl, wl = ({i for i in map(resolve, keys) if 0 <= i < 32} for keys in (blacklist, whitelist))
        self.clear(sorted(wl - bl))

    def copy(self):
        if self.arr is None:
            raise TypeError(NOT_SUB)
        return Model(self.arr[:])

    def setstate(self, state):
        if state is None:
            raise TypeError("cannot pass None into a C function argument that is declared 'not None'")
        if type(state) is not tuple:
            raise TypeError(f"Expected tuple, got {type(state).__name__}")
        if not state:
            raise IndexError("tuple index out of range")
        if state[0] is not None and type(state[0]) is not list:
            raise TypeError(f"Expected list, got {type(state[0]).__name__}")
        self.arr = state[0]


TOKENS = st.builds(Token, st.integers(0, 5))
VALUES = st.one_of(TOKENS, st.none(), st.sampled_from([0, False, "", ()]))
INDEXES = st.one_of(st.integers(0, 31), st.sampled_from([-1, 32, 40, 2 ** 31, -2 ** 31 - 1, 2 ** 70]))
KEYS = st.one_of(
    st.sampled_from(list(CacheType)),
    st.builds(Key, INDEXES),
    st.builds(Key, st.sampled_from([3.7, True, "3", None])),
    st.builds(lambda v: Key(IntLike(v)), st.one_of(st.integers(0, 33), st.just("x"))),
    st.sampled_from([None, object()]),
)
KEY_LISTS = st.one_of(
    st.none(),
    st.lists(st.one_of(st.sampled_from(list(CacheType)), st.builds(Key, st.integers(-1, 33))),
             max_size=4),
    st.lists(st.sampled_from(list(CacheType)), max_size=4),
    st.lists(KEYS.filter(lambda k: k is not None), max_size=4),
    st.lists(st.sampled_from(list(CacheType)), max_size=3).map(tuple),
    st.lists(st.sampled_from(list(CacheType)), min_size=1, max_size=2).map(ListSub),
    st.sampled_from([True, 0, ()]),
)
NAMES = st.sampled_from([*CacheType.__members__, "nosuch", "theme", "value", ""])
FUNCS = st.sampled_from(["value", "none", "raise", "not callable", "store same slot", "__init__",
                         "shrink", "drop list"])


def outcome(call):
    try:
        return "ok", call()
    except (TypeError, ValueError, AttributeError, IndexError, OverflowError) as e:
        return type(e), e.args


class CacheMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.real = [Cache()]
        self.model = [Model([None] * 32)]

    def both(self, i, real, model):
        """Runs an operation on cache i and on its model; results and exceptions must agree."""
        i %= len(self.real)
        got, want = outcome(lambda: real(self.real[i])), outcome(lambda: model(self.model[i]))
        assert got[0] == want[0] and (got[0] == "ok" or got[1] == want[1]), (got, want)
        if got[0] == "ok":
            assert got[1] is want[1] or (type(got[1]), type(want[1])) == (Cache, Model), (got, want)
        return got

    @invariant()
    def slots_agree(self):
        for r, m in zip(self.real, self.model):
            arr = slots(r)
            assert (arr is None) == (m.arr is None)
            if arr is not None:
                assert len(arr) == len(m.arr) and all(a is b for a, b in zip(arr, m.arr))
        for i in range(len(self.real)):  # lists are shared exactly where the model shares them
            for j in range(i):
                assert (slots(self.real[i]) is slots(self.real[j])) == (
                    self.model[i].arr is self.model[j].arr is not None) or self.model[i].arr is None

    def adopt(self, r, m):
        """Keeps a new cache and its model, the model sharing the real list's objects."""
        if len(self.real) < 5:
            self.real.append(r)
            self.model.append(m)

    @rule(i=st.integers(0, 4), key=KEYS)
    def get(self, i, key):
        self.both(i, lambda c: c.get(key), lambda m: m.get(key))

    @rule(i=st.integers(0, 4), key=KEYS)
    def subscript(self, i, key):
        self.both(i, lambda c: c[key], lambda m: m.subscript(key))

    @rule(i=st.integers(0, 4), name=NAMES)
    def attribute(self, i, name):
        self.both(i, lambda c: getattr(c, name), lambda m: m.attr(name))

    @rule(i=st.integers(0, 4), key=KEYS, value=VALUES)
    def set(self, i, key, value):
        self.both(i, lambda c: c.set(key, value), lambda m: m.set(key, value))

    @rule(i=st.integers(0, 4), token=TOKENS)
    def fill_members(self, i, token):
        for member in CacheType:
            self.set(i, member, token)

    @rule(i=st.integers(0, 4), key=KEYS, value=VALUES)
    def get_or_set_val(self, i, key, value):
        self.both(i, lambda c: c.get_or_set_val(key, value), lambda m: m.get_or_set_val(key, value))

    @rule(i=st.integers(0, 4), key=KEYS, kind=FUNCS, token=TOKENS)
    def get_or_exec(self, i, key, kind, token):
        other, filler = Token(99), Token(7)  # the same objects for the cache and the model

        def make(target, init, setstate, store):
            def func():
                if kind == "raise":
                    raise ValueError("boom")
                if kind == "store same slot":
                    store(target, other)
                elif kind == "__init__":
                    init(target)
                elif kind in ("shrink", "drop list"):
                    setstate(target, ([filler],) if kind == "shrink" else (None,))
                return None if kind == "none" else token
            return 5 if kind == "not callable" else func
        j = i % len(self.real)
        real_func = make(self.real[j], lambda c: c.__init__(), lambda c, s: c.__setstate__(s),
                         lambda c, v: c.set(key, v))
        model_func = make(self.model[j], lambda m: setattr(m, "arr", [None] * 32),
                          lambda m, s: m.setstate(s), lambda m, v: m.set(key, v))
        if kind == "not callable":
            model_func = lambda: (_ for _ in ()).throw(TypeError("'int' object is not callable"))
        self.both(j, lambda c: c.get_or_exec(key, real_func), lambda m: m.get_or_exec(key, model_func))

    @rule(i=st.integers(0, 4))
    def clear(self, i):
        self.both(i, lambda c: c.clear(), lambda m: m.clear())

    @rule(i=st.integers(0, 4), blacklist=KEY_LISTS, whitelist=KEY_LISTS)
    def clear_selected(self, i, blacklist, whitelist):
        self.both(i, lambda c: c.clear_selected(blacklist, whitelist),
                  lambda m: m.clear_selected(blacklist, whitelist))

    @rule(i=st.integers(0, 4), how=st.sampled_from(["copy", "deepcopy"]))
    def copy(self, i, how):
        op = Cache.copy if how == "copy" else copy.deepcopy
        kind, r = self.both(i, op, lambda m: m.copy())
        if kind == "ok":
            self.adopt(r, Model(self.model[i % len(self.real)].arr[:]))

    @rule(i=st.integers(0, 4))
    def shallow_copy(self, i):
        i %= len(self.real)
        self.adopt(copy.copy(self.real[i]), Model(self.model[i].arr))  # the list itself, shared

    @rule(i=st.integers(0, 4), protocol=st.integers(0, pickle.HIGHEST_PROTOCOL))
    def pickle_round_trip(self, i, protocol):
        i %= len(self.real)
        r = pickle.loads(pickle.dumps(self.real[i], protocol))
        arr, want = slots(r), self.model[i].arr
        assert type(r) is Cache and (arr is None) == (want is None)
        if arr is not None:
            assert arr == want and arr is not slots(self.real[i])
        self.adopt(r, Model(None if arr is None else list(arr)))

    @rule(i=st.integers(0, 4), data=st.data())
    def setstate(self, i, data):
        state = data.draw(st.one_of(
            st.lists(VALUES, max_size=40).map(lambda lst: (lst,)),
            st.just((None,)), st.just(()), st.just(None), st.just([]), st.just(((1, 2),)),
            st.lists(VALUES, max_size=3).map(lambda lst: (lst, {}))))
        j = i % len(self.real)
        # the model installs its own copy of a new list, so that real and model never share one
        mstate = (list(state[0]), *state[1:]) if type(state) is tuple and state and type(state[0]) is list else state
        self.both(j, lambda c: c.__setstate__(state), lambda m: m.setstate(mstate))

    @rule(i=st.integers(0, 4))
    def reinit(self, i):
        self.both(i, lambda c: c.__init__(), lambda m: setattr(m, "arr", [None] * 32))

    @precondition(lambda self: len(self.real) < 5)
    @rule()
    def bare(self):
        self.adopt(Cache.__new__(Cache), Model(None))


TestCacheModel = CacheMachine.TestCase
