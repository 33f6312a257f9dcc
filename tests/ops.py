"""The operations that the leak checks and the allocation-failure sweeps run, each on
success and on every way it fails, with the objects they share.

OPERATIONS: id -> (make the cache or None, the operation on it, the exception every call
raises or None), for test_leaks. FRAMELESS: id -> (make the cache or None, build the
call from the cache), for test_nomemory: each built call is one call of a built-in
callable, so that no Python frame lies between the sweep and the module (see
test_interpreter_artefact_lost_exception).
"""
import copy
import functools
import operator
import pickle

from conftest import Key
from leakcheck import TABLE
from quor_ui.core.enums import CacheType
from quor_ui.fast.quorcache import quorcache
from quor_ui.fast.quorcache.quorcache import Cache

A, B = CacheType.LAYOUT, CacheType.THEME  # slots 3 and 0
unpickle = quorcache.__pyx_unpickle_Cache
CHECKSUM = 198515892


class Token:
    """A slot object, a value and a callable result: the sentinel whose references are counted."""

    def __eq__(self, other):
        return type(other) is Token

    __hash__ = object.__hash__


class Name(str):
    pass


class IntLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class Sub(Cache):
    pass


class PickledSub(Cache):
    pass


V = Token()      # stored, passed, returned
K = Key(5)       # a key that is no member
LST = [V] * 4    # a short slot list for states


def full():
    c = Cache()
    for i in range(32):
        c.set(Key(i), V)
    return c


def short():
    c = Cache()
    c.__setstate__(([V, V],))
    return c


def bare():
    return Cache.__new__(Cache)


# A func that raises, without a Python frame: a Python function that raises while an
# allocation fails can take a different number of allocations from run to run.
boom = functools.partial(int, "boom")


def with_attr(c):
    c.attr = V
    return c


def store_then(c):
    def f():
        c.set(A, V)
        return V
    return f


def reinit_then(c):
    def f():
        c.__init__()
        return V
    return f


# ---- each operation as a call that may raise, for the leak checks ----------------------

OPERATIONS = {
    # construction and the life cycle
    "Cache()": (None, lambda c: Cache(), None),
    "Cache.__new__": (None, lambda c: Cache.__new__(Cache, 1, k=V), None),
    "subclass()": (None, lambda c: Sub(), None),
    "__init__ again": (full, lambda c: c.__init__(), None),
    "Cache(1)": (None, lambda c: Cache(V), TypeError),
    "Cache(x=1)": (None, lambda c: Cache(x=V), TypeError),
    "__init__(1)": (full, lambda c: c.__init__(V), TypeError),
    "__init__(x=1)": (full, lambda c: c.__init__(x=V), TypeError),
    # reads
    "get": (full, lambda c: c.get(A), None),
    "get(type=)": (full, lambda c: c.get(type=A), None),
    "get str-subclass keyword": (full, lambda c: c.get(**{Name("type"): A}), None),
    "get()": (full, lambda c: c.get(), TypeError),
    "get(a, b)": (full, lambda c: c.get(A, V), TypeError),
    "get(1, 2, type=3)": (full, lambda c: c.get(A, V, type=A), TypeError),
    "get(foo=)": (full, lambda c: c.get(foo=V), TypeError),
    "get(a, type=)": (full, lambda c: c.get(A, type=A), TypeError),
    "get(None)": (full, lambda c: c.get(None), TypeError),
    "get no value": (full, lambda c: c.get(V), AttributeError),
    "get '3'": (full, lambda c: c.get(Key("3")), TypeError),
    "get 2**31": (full, lambda c: c.get(Key(2 ** 31)), OverflowError),
    "get 2**70": (full, lambda c: c.get(Key(2 ** 70)), OverflowError),
    "get float": (full, lambda c: c.get(Key(3.7)), None),
    "get __int__": (full, lambda c: c.get(Key(IntLike(4))), None),
    "get __int__ non-int": (full, lambda c: c.get(Key(IntLike(V))), TypeError),
    "get -1": (full, lambda c: c.get(Key(-1)), IndexError),
    "get 32": (full, lambda c: c.get(Key(32)), IndexError),
    "get short": (short, lambda c: c.get(A), IndexError),
    "get bare": (bare, lambda c: c.get(A), TypeError),
    "c[key]": (full, lambda c: c[A], None),
    "c[non-member]": (full, lambda c: c[K], TypeError),
    "c[key] bare": (bare, lambda c: c[A], TypeError),
    "c[key] short": (short, lambda c: c[A], IndexError),
    "c[0] sequence item": (full, lambda c: list(c), TypeError),
    "c.NAME": (full, lambda c: c.LAYOUT, None),
    "c.nosuch": (full, lambda c: c.nosuch, AttributeError),
    "getattr default": (full, lambda c: getattr(c, "nosuch", V), None),
    "c.NAME bare": (bare, lambda c: c.LAYOUT, TypeError),
    "__getattr__(5)": (full, lambda c: c.__getattr__(5), TypeError),
    "getattr str subclass": (full, lambda c: getattr(c, Name("LAYOUT")), TypeError),
    "__dict__": (full, lambda c: c.__dict__, AttributeError),
    # writes
    "set": (full, lambda c: c.set(A, V), None),
    "set(type=, value=)": (full, lambda c: c.set(value=V, type=A), None),
    "set(k)": (full, lambda c: c.set(A), TypeError),
    "set(value=)": (full, lambda c: c.set(value=V), TypeError),
    "set(type=)": (full, lambda c: c.set(type=A), TypeError),
    "set(k, v, value=)": (full, lambda c: c.set(A, V, value=V), TypeError),
    "set(k, v, foo=)": (full, lambda c: c.set(A, V, foo=V), TypeError),
    "set(None, v)": (full, lambda c: c.set(None, V), AttributeError),
    "set 32": (full, lambda c: c.set(Key(32), V), IndexError),
    "set short": (short, lambda c: c.set(A, V), IndexError),
    "set bare": (bare, lambda c: c.set(A, V), TypeError),
    "get_or_set_val miss": (Cache, lambda c: (c.get_or_set_val(A, V), c.set(A, None)), None),
    "get_or_set_val hit": (full, lambda c: c.get_or_set_val(A, Token()), None),
    "get_or_set_val()": (full, lambda c: c.get_or_set_val(), TypeError),
    "get_or_set_val bad key": (full, lambda c: c.get_or_set_val(V, V), AttributeError),
    "get_or_set_val -1": (full, lambda c: c.get_or_set_val(Key(-1), V), IndexError),
    "get_or_set_val bare": (bare, lambda c: c.get_or_set_val(A, V), TypeError),
    "get_or_exec miss": (Cache, lambda c: (c.get_or_exec(A, Token), c.set(A, None)), None),
    "get_or_exec hit": (full, lambda c: c.get_or_exec(A, 5), None),
    "get_or_exec bound method": (Cache, lambda c: (c.get_or_exec(A, V.__eq__.__self__.__class__),
                                                   c.set(A, None)), None),
    "get_or_exec returns None": (Cache, lambda c: c.get_or_exec(A, lambda: None), None),
    "get_or_exec raises": (Cache, lambda c: c.get_or_exec(A, boom), ValueError),
    "get_or_exec not callable": (Cache, lambda c: c.get_or_exec(A, V), TypeError),
    "get_or_exec stores itself": (Cache, lambda c: (c.get_or_exec(A, store_then(c)),
                                                    c.set(A, None)), None),
    "get_or_exec __init__": (Cache, lambda c: c.get_or_exec(A, reinit_then(c)), None),
    "get_or_exec None, None": (full, lambda c: c.get_or_exec(None, None), TypeError),
    "get_or_exec k, None": (full, lambda c: c.get_or_exec(A, None), TypeError),
    "get_or_exec(type=)": (full, lambda c: c.get_or_exec(type=A), TypeError),
    "get_or_exec bad key": (Cache, lambda c: c.get_or_exec(V, boom), AttributeError),
    "get_or_exec bare": (bare, lambda c: c.get_or_exec(A, boom), TypeError),
    "get_or_exec short": (short, lambda c: c.get_or_exec(A, boom), IndexError),
    "get_or_exec shrinks": (Cache, lambda c: c.get_or_exec(
        A, lambda: c.__setstate__(([V],)) or V), IndexError),
    "get_or_exec drops list": (Cache, lambda c: c.get_or_exec(
        A, lambda: c.__setstate__((None,)) or V), TypeError),
    # clearing
    "clear": (full, lambda c: c.clear(), None),
    "clear(1)": (full, lambda c: c.clear(V), TypeError),
    "clear(a=)": (full, lambda c: c.clear(a=V), TypeError),
    "clear short": (short, lambda c: c.clear(), IndexError),
    "clear bare": (bare, lambda c: c.clear(), TypeError),
    "clear_selected()": (full, lambda c: c.clear_selected(), None),
    "clear_selected lists": (full, lambda c: c.clear_selected([A], [A, B, Key(40), Key(-1)]), None),
    "clear_selected(whitelist=)": (full, lambda c: c.clear_selected(whitelist=[B]), None),
    "clear_selected(x, y, z)": (full, lambda c: c.clear_selected([], [], []), TypeError),
    "clear_selected(foo=)": (full, lambda c: c.clear_selected(foo=V), TypeError),
    "clear_selected(b, blacklist=)": (full, lambda c: c.clear_selected([A], blacklist=[A]), TypeError),
    "clear_selected tuple": (full, lambda c: c.clear_selected(whitelist=(A,)), TypeError),
    "clear_selected True": (full, lambda c: c.clear_selected(True), TypeError),
    "clear_selected item without value": (full, lambda c: c.clear_selected(whitelist=[A, V]),
                                          AttributeError),
    "clear_selected overflow item": (full, lambda c: c.clear_selected([Key(2 ** 31)]), OverflowError),
    "clear_selected short": (short, lambda c: c.clear_selected(), IndexError),
    "clear_selected bare": (bare, lambda c: c.clear_selected(), TypeError),
    "clear_selected bare, none picked": (bare, lambda c: c.clear_selected(whitelist=[Key(40)]), None),
    # copying and pickling
    "copy": (full, lambda c: c.copy(), None),
    "copy(1)": (full, lambda c: c.copy(V), TypeError),
    "copy bare": (bare, lambda c: c.copy(), TypeError),
    "deepcopy": (full, lambda c: copy.deepcopy(c), None),
    "__deepcopy__()": (full, lambda c: c.__deepcopy__(), TypeError),
    "__deepcopy__(memo=)": (full, lambda c: c.__deepcopy__(memo=V), None),
    "deepcopy bare": (bare, lambda c: copy.deepcopy(c), TypeError),
    "copy.copy": (full, lambda c: copy.copy(c), None),
    "copy.copy bare": (bare, lambda c: copy.copy(c), None),
    "__reduce__": (full, lambda c: c.__reduce__(), None),
    "__reduce__(1)": (full, lambda c: c.__reduce__(V), TypeError),
    "__reduce__ subclass dict": (lambda: with_attr(Sub()), lambda c: c.__reduce__(), None),
    "pickle": (full, lambda c: pickle.loads(pickle.dumps(c, 2)), None),
    "pickle subclass dict": (lambda: with_attr(PickledSub()), lambda c: pickle.loads(pickle.dumps(c)),
                             None),
    "unpickle None state": (None, lambda c: unpickle(Cache, CHECKSUM, None), None),
    "unpickle keywords": (None, lambda c: unpickle(__pyx_type=Cache, __pyx_checksum=0xe95c4d5,
                                                   __pyx_state=(LST,)), None),
    "unpickle bad checksum": (None, lambda c: unpickle(Cache, 1, None), pickle.PickleError),
    "unpickle checksum str": (None, lambda c: unpickle(Cache, "x", []), TypeError),
    "unpickle state list": (None, lambda c: unpickle(Cache, 1, []), TypeError),
    "unpickle bad type": (None, lambda c: unpickle(int, CHECKSUM, None), TypeError),
    "unpickle empty state": (None, lambda c: unpickle(Cache, CHECKSUM, ()), IndexError),
    "unpickle bad item": (None, lambda c: unpickle(Cache, CHECKSUM, ((V,),)), TypeError),
    "unpickle dict on plain": (None, lambda c: unpickle(Cache, CHECKSUM, (LST, {"a": V})),
                               AttributeError),
    "unpickle 2 args": (None, lambda c: unpickle(Cache, CHECKSUM), TypeError),
    "__setstate__": (full, lambda c: c.__setstate__((LST,)), None),
    "__setstate__ falsy extra": (full, lambda c: c.__setstate__((LST, {})), None),
    "__setstate__ None list": (full, lambda c: c.__setstate__((None,)), None),
    "__setstate__(None)": (full, lambda c: c.__setstate__(None), TypeError),
    "__setstate__ list": (full, lambda c: c.__setstate__([]), TypeError),
    "__setstate__ ()": (full, lambda c: c.__setstate__(()), IndexError),
    "__setstate__ tuple item": (full, lambda c: c.__setstate__(((V, V),)), TypeError),
    "__setstate__ dict on plain": (full, lambda c: c.__setstate__((LST, {"a": V})), AttributeError),
    "__setstate__ dict subclass": (Sub, lambda c: c.__setstate__((LST, {"a": V})), None),
    "__setstate__ bad update": (Sub, lambda c: c.__setstate__((LST, [V])), AttributeError),
    "__setstate__()": (full, lambda c: c.__setstate__(), TypeError),
    # the internal function table
    "table new": (None, lambda c: TABLE.new(), None),
    "table c_get": (full, lambda c: TABLE.c_get(c, 3), None),
    "table c_get 32": (full, lambda c: TABLE.c_get(c, 32), IndexError),
    "table c_get bare": (bare, lambda c: TABLE.c_get(c, 3), TypeError),
    "table c_set": (full, lambda c: TABLE.c_set(c, 3, V), None),
    "table c_set -1": (full, lambda c: TABLE.c_set(c, -1, V), IndexError),
    "table c_set short": (short, lambda c: TABLE.c_set(c, 3, V), IndexError),
    "table c_set bare": (bare, lambda c: TABLE.c_set(c, 3, V), TypeError),
    "table c_get_or_set_val": (Cache, lambda c: (TABLE.c_get_or_set_val(c, 3, V),
                                                 TABLE.c_set(c, 3, None)), None),
    "table c_get_or_set_val hit": (full, lambda c: TABLE.c_get_or_set_val(c, 3, Token()), None),
    "table c_get_or_set_val 32": (full, lambda c: TABLE.c_get_or_set_val(c, 32, V), IndexError),
    "table c_get_or_set_val bare": (bare, lambda c: TABLE.c_get_or_set_val(c, 3, V), TypeError),
    "table c_get_or_exec": (Cache, lambda c: (TABLE.c_get_or_exec(c, 3, Token),
                                              TABLE.c_set(c, 3, None)), None),
    "table c_get_or_exec hit": (full, lambda c: TABLE.c_get_or_exec(c, 3, V), None),
    "table c_get_or_exec raises": (Cache, lambda c: TABLE.c_get_or_exec(c, 3, boom), ValueError),
    "table c_get_or_exec 32": (full, lambda c: TABLE.c_get_or_exec(c, 32, boom), IndexError),
    "table c_get_or_exec bare": (bare, lambda c: TABLE.c_get_or_exec(c, 3, boom), TypeError),
    "table c_get_or_exec shrinks": (Cache, lambda c: TABLE.c_get_or_exec(
        c, 3, lambda: c.__setstate__(([V],)) or V), IndexError),
    "table c_clear": (full, lambda c: TABLE.c_clear(c), None),
    "table c_clear short": (short, lambda c: TABLE.c_clear(c), IndexError),
    "table c_clear bare": (bare, lambda c: TABLE.c_clear(c), TypeError),
    "table c_clear_selected": (full, lambda c: TABLE.c_clear_selected(c, [K], [K, Key(3)]), None),
    "table c_clear_selected None": (full, lambda c: TABLE.c_clear_selected(c, None, [K]), TypeError),
    "table c_clear_selected no value": (full, lambda c: TABLE.c_clear_selected(c, [], [V]),
                                        AttributeError),
    "table c_clear_selected short": (short, lambda c: TABLE.c_clear_selected(c, [], [K]), IndexError),
    "table c_clear_selected bare": (bare, lambda c: TABLE.c_clear_selected(c, [], [K]), TypeError),
}


# ---- each operation as one call of a built-in, for the allocation-failure sweep ---------

def returns_none():
    return None


class StoresThenReturns:
    """func for get_or_exec that writes to the same cache first."""

    def __init__(self, c, action, *args):
        self.c, self.action, self.args = c, action, args

    def __call__(self):
        self.action(self.c, *self.args)
        return V


SHORT_STATE = ([V],)
NONE_STATE = (None,)
P = functools.partial
getitem = operator.getitem


def small():
    """A cache whose pickle holds nothing but itself: two slots of built-in objects."""
    c = Cache()
    c.set(A, "theme")
    c.set(B, 7)
    return c


def pickled_sub():
    c = PickledSub()
    c.attr = "attr"
    return c


_held = None


def without_free_tuples(make):
    """make, then the interpreter's free lists of 1- to 3-tuples emptied until the next
    cache is made: the small tuples an operation builds are then allocated, and so can
    fail, instead of being taken from a list (which holds up to 2000)."""
    def made():
        global _held
        _held = None  # back to the lists before they are emptied again
        c = make()
        _held = [(i,) * n for n in (1, 2, 3) for i in range(2100)]
        return c
    return made


FRAMELESS = {
    # construction and the life cycle
    "Cache()": (None, lambda c: Cache),
    "Cache.__new__": (None, lambda c: P(Cache.__new__, Cache, 1, k=V)),
    "subclass()": (None, lambda c: Sub),
    "__init__ again": (full, lambda c: c.__init__),
    "Cache(1)": (None, lambda c: P(Cache, V)),
    "Cache(x=1)": (None, lambda c: P(Cache, x=V)),
    "__init__(1)": (full, lambda c: P(c.__init__, V)),
    # reads
    "get": (full, lambda c: P(c.get, A)),
    "get(type=)": (full, lambda c: P(c.get, type=A)),
    "get str-subclass keyword": (full, lambda c: P(c.get, **{Name("type"): A})),
    "get()": (full, lambda c: c.get),
    "get(foo=)": (full, lambda c: P(c.get, foo=V)),
    "get(None)": (full, lambda c: P(c.get, None)),
    "get no value": (full, lambda c: P(c.get, V)),
    "get 2**70": (full, lambda c: P(c.get, Key(2 ** 70))),
    "get 32": (full, lambda c: P(c.get, Key(32))),
    "get short": (short, lambda c: P(c.get, A)),
    "get bare": (bare, lambda c: P(c.get, A)),
    "c[key]": (full, lambda c: P(getitem, c, A)),
    "c[key] empty": (Cache, lambda c: P(getitem, c, A)),
    "c[non-member]": (full, lambda c: P(getitem, c, K)),
    "c[key] bare": (bare, lambda c: P(getitem, c, A)),
    "c[key] short": (short, lambda c: P(getitem, c, A)),
    "c[0] sequence item": (full, lambda c: P(list, c)),
    "c.NAME": (full, lambda c: P(getattr, c, "LAYOUT")),
    "c.nosuch": (full, lambda c: P(getattr, c, "nosuch")),
    "getattr default": (full, lambda c: P(getattr, c, "nosuch", V)),
    "hasattr member": (full, lambda c: P(hasattr, c, "LAYOUT")),
    "hasattr miss": (full, lambda c: P(hasattr, c, "nosuch")),
    "c.NAME bare": (bare, lambda c: P(getattr, c, "LAYOUT")),
    "c.method": (full, lambda c: P(getattr, c, "get")),
    "__getattr__ member": (full, lambda c: P(c.__getattr__, "THEME")),
    "__getattr__(None)": (full, lambda c: P(c.__getattr__, None)),
    "__getattr__(5)": (full, lambda c: P(c.__getattr__, 5)),
    "getattr str subclass": (full, lambda c: P(getattr, c, Name("LAYOUT"))),
    "__dict__": (full, lambda c: P(getattr, c, "__dict__")),
    # writes
    "set": (full, lambda c: P(c.set, A, V)),
    "set(type=, value=)": (full, lambda c: P(c.set, value=V, type=A)),
    "set(k)": (full, lambda c: P(c.set, A)),
    "set(k, v, foo=)": (full, lambda c: P(c.set, A, V, foo=V)),
    "set(None, v)": (full, lambda c: P(c.set, None, V)),
    "set 32": (full, lambda c: P(c.set, Key(32), V)),
    "set short": (short, lambda c: P(c.set, A, V)),
    "set bare": (bare, lambda c: P(c.set, A, V)),
    "get_or_set_val miss": (Cache, lambda c: P(c.get_or_set_val, A, V)),
    "get_or_set_val hit": (full, lambda c: P(c.get_or_set_val, A, Token())),
    "get_or_set_val()": (full, lambda c: c.get_or_set_val),
    "get_or_set_val bad key": (full, lambda c: P(c.get_or_set_val, V, V)),
    "get_or_set_val bare": (bare, lambda c: P(c.get_or_set_val, A, V)),
    "get_or_exec miss": (Cache, lambda c: P(c.get_or_exec, A, Token)),
    "get_or_exec hit": (full, lambda c: P(c.get_or_exec, A, 5)),
    "get_or_exec bound method": (Cache, lambda c: P(c.get_or_exec, A, StoresThenReturns(
        c, Cache.set, B, V).__call__)),
    "get_or_exec returns None": (Cache, lambda c: P(c.get_or_exec, A, returns_none)),
    "get_or_exec raises": (Cache, lambda c: P(c.get_or_exec, A, boom)),
    "get_or_exec not callable": (Cache, lambda c: P(c.get_or_exec, A, V)),
    "get_or_exec stores itself": (Cache, lambda c: P(
        c.get_or_exec, A, StoresThenReturns(c, Cache.set, A, V))),
    "get_or_exec __init__": (Cache, lambda c: P(c.get_or_exec, A, StoresThenReturns(c, Cache.__init__))),
    "get_or_exec shrinks": (Cache, lambda c: P(
        c.get_or_exec, A, StoresThenReturns(c, Cache.__setstate__, SHORT_STATE))),
    "get_or_exec drops list": (Cache, lambda c: P(
        c.get_or_exec, A, StoresThenReturns(c, Cache.__setstate__, NONE_STATE))),
    "get_or_exec None, None": (full, lambda c: P(c.get_or_exec, None, None)),
    "get_or_exec k, None": (full, lambda c: P(c.get_or_exec, A, None)),
    "get_or_exec bad key": (Cache, lambda c: P(c.get_or_exec, V, boom)),
    "get_or_exec bare": (bare, lambda c: P(c.get_or_exec, A, boom)),
    "get_or_exec short": (short, lambda c: P(c.get_or_exec, A, boom)),
    # clearing
    "clear": (full, lambda c: c.clear),
    "clear(1)": (full, lambda c: P(c.clear, V)),
    "clear short": (short, lambda c: c.clear),
    "clear bare": (bare, lambda c: c.clear),
    "clear_selected()": (full, lambda c: c.clear_selected),
    "clear_selected lists": (full, lambda c: P(c.clear_selected, [A], [A, B, Key(40), Key(-1)])),
    "clear_selected(whitelist=)": (full, lambda c: P(c.clear_selected, whitelist=[B])),
    "clear_selected(x, y, z)": (full, lambda c: P(c.clear_selected, [], [], [])),
    "clear_selected(b, blacklist=)": (full, lambda c: P(c.clear_selected, [A], blacklist=[A])),
    "clear_selected tuple": (full, lambda c: P(c.clear_selected, whitelist=(A,))),
    "clear_selected item without value": (full, lambda c: P(c.clear_selected, whitelist=[A, V])),
    "clear_selected overflow item": (full, lambda c: P(c.clear_selected, [Key(2 ** 31)])),
    "clear_selected short": (short, lambda c: c.clear_selected),
    "clear_selected bare": (bare, lambda c: c.clear_selected),
    "clear_selected bare, none picked": (bare, lambda c: P(c.clear_selected, whitelist=[Key(40)])),
    # copying and pickling
    "copy": (full, lambda c: c.copy),
    "copy(1)": (full, lambda c: P(c.copy, V)),
    "copy bare": (bare, lambda c: c.copy),
    "copy short": (short, lambda c: c.copy),
    "__deepcopy__": (full, lambda c: P(c.__deepcopy__, {})),
    "__deepcopy__()": (full, lambda c: c.__deepcopy__),
    "__deepcopy__ bare": (bare, lambda c: P(c.__deepcopy__, None)),
    "__reduce__": (full, lambda c: c.__reduce__),
    "__reduce__ bare": (bare, lambda c: c.__reduce__),
    "__reduce__(1)": (full, lambda c: P(c.__reduce__, V)),
    "__reduce__ subclass dict": (lambda: with_attr(Sub()),
                                 lambda c: c.__reduce__),
    "__reduce__ tuples allocated": (without_free_tuples(full), lambda c: c.__reduce__),
    "__reduce__ bare, tuples allocated": (without_free_tuples(bare), lambda c: c.__reduce__),
    "unpickle None state": (None, lambda c: P(unpickle, Cache, CHECKSUM, None)),
    "unpickle state": (None, lambda c: P(unpickle, Cache, CHECKSUM, (LST,))),
    "unpickle keywords": (None, lambda c: P(unpickle, __pyx_type=Cache, __pyx_checksum=0xe95c4d5,
                                            __pyx_state=(LST,))),
    "unpickle subclass dict": (None, lambda c: P(unpickle, Sub, CHECKSUM,
                                                 (LST, {"a": V}))),
    "unpickle bad checksum": (None, lambda c: P(unpickle, Cache, 1, None)),
    "unpickle checksum str": (None, lambda c: P(unpickle, Cache, "x", [])),
    "unpickle state list": (None, lambda c: P(unpickle, Cache, 1, [])),
    "unpickle bad type": (None, lambda c: P(unpickle, int, CHECKSUM, None)),
    "unpickle empty state": (None, lambda c: P(unpickle, Cache, CHECKSUM, ())),
    "unpickle bad item": (None, lambda c: P(unpickle, Cache, CHECKSUM, ((V,),))),
    "unpickle dict on plain": (None, lambda c: P(unpickle, Cache, CHECKSUM, (LST, {"a": V}))),
    "unpickle 2 args": (None, lambda c: P(unpickle, Cache, CHECKSUM)),
    "__setstate__": (full, lambda c: P(c.__setstate__, (LST,))),
    "__setstate__ falsy extra": (full, lambda c: P(c.__setstate__, (LST, {}))),
    "__setstate__ None list": (full, lambda c: P(c.__setstate__, (None,))),
    "__setstate__(None)": (full, lambda c: P(c.__setstate__, None)),
    "__setstate__ list": (full, lambda c: P(c.__setstate__, [])),
    "__setstate__ ()": (full, lambda c: P(c.__setstate__, ())),
    "__setstate__ tuple item": (full, lambda c: P(c.__setstate__, ((V, V),))),
    "__setstate__ dict on plain": (full, lambda c: P(c.__setstate__, (LST, {"a": V}))),
    "__setstate__ dict subclass": (Sub, lambda c: P(c.__setstate__, (LST, {"a": V}))),
    "__setstate__ bad update": (Sub, lambda c: P(c.__setstate__, (LST, [V]))),
    # the internal function table
    "table new": (None, lambda c: TABLE.new),
    "table c_get": (full, lambda c: P(TABLE.c_get, c, 3)),
    "table c_get 32": (full, lambda c: P(TABLE.c_get, c, 32)),
    "table c_get bare": (bare, lambda c: P(TABLE.c_get, c, 3)),
    "table c_set": (full, lambda c: P(TABLE.c_set, c, 3, V)),
    "table c_set short": (short, lambda c: P(TABLE.c_set, c, 3, V)),
    "table c_get_or_set_val": (Cache, lambda c: P(TABLE.c_get_or_set_val, c, 3, V)),
    "table c_get_or_set_val bare": (bare, lambda c: P(TABLE.c_get_or_set_val, c, 3, V)),
    "table c_get_or_exec": (Cache, lambda c: P(TABLE.c_get_or_exec, c, 3, Token)),
    "table c_get_or_exec hit": (full, lambda c: P(TABLE.c_get_or_exec, c, 3, V)),
    "table c_get_or_exec raises": (Cache, lambda c: P(TABLE.c_get_or_exec, c, 3, boom)),
    "table c_get_or_exec shrinks": (Cache, lambda c: P(
        TABLE.c_get_or_exec, c, 3, StoresThenReturns(c, Cache.__setstate__, SHORT_STATE))),
    "table c_clear": (full, lambda c: P(TABLE.c_clear, c)),
    "table c_clear bare": (bare, lambda c: P(TABLE.c_clear, c)),
    "table c_clear_selected": (full, lambda c: P(TABLE.c_clear_selected, c, [K], [K, Key(3)])),
    "table c_clear_selected None": (full, lambda c: P(TABLE.c_clear_selected, c, None, [K])),
    "table c_clear_selected no value": (full, lambda c: P(TABLE.c_clear_selected, c, [], [V])),
}
# Pickling round trips, one stage at a time: dumps of the cache, then loads of its pickle.
for _proto in range(pickle.HIGHEST_PROTOCOL + 1):
    for _make in (small, bare, pickled_sub):
        _label = f"{_make.__name__} protocol {_proto}"
        FRAMELESS[f"pickle.dumps {_label}"] = (_make, lambda c, p=_proto: P(pickle.dumps, c, p))
        FRAMELESS[f"pickle.loads {_label}"] = (None, lambda c, m=_make, p=_proto: P(
            pickle.loads, pickle.dumps(m(), p)))
FRAMELESS["copy.copy"] = (full, lambda c: P(copy.copy, c))
FRAMELESS["copy.deepcopy"] = (full, lambda c: P(copy.deepcopy, c))


def keeping_one(build):
    """build, then one dead cache kept for reuse (the sweep empties the reserve before
    building every run): the operation hands the kept one out where it can."""
    def build_keeping(c):
        op = build(c)
        Cache()  # dies at once, into the reserve
        return op
    return build_keeping


for _name in ("Cache()", "copy", "copy short", "table new"):
    _make, _build = FRAMELESS[_name]
    FRAMELESS[f"{_name} reusing"] = (_make, keeping_one(_build))
