"""Side-by-side timings of the native Cache, an idiomatic pure-Python cache and floors.

    python bench/bench_cache.py            # the tables: stock Enum, IntEnum, customised keys
    python bench/bench_cache.py --check    # exit 1 when a target ratio is missed

Times are nanoseconds per operation, each the minimum of many short timings. The timings
are interleaved: each round times every row once, the native module, the Python class and
the floors in turn, so that a ratio compares times taken at the same moments of a busy
machine, and its minima are those of the same quiet moments. `--check` judges ratios only;
a target missed is measured again (its two sides, interleaved) before it is reported.
"""

import argparse
import copy
import enum
import pickle
import math
import os
import sys
import timeit
import types
from typing import NamedTuple

from quor_ui.fast.quorcache import quorcache
from quor_ui.fast.quorcache.quorcache import Cache


MEMBERS = {"THEME": 0, "STYLESHEET": 1, "LAYOUT": 3, "ICONS": 4, "SETTINGS": 6, "WIDGET_TREE": 7}


class CustomValue(enum.Enum):
    """Keys whose `value` is customised, so every read takes the ordinary lookup."""

    @enum.property
    def value(self):
        return self._value_


EnumKeys = enum.Enum("EnumKeys", MEMBERS, module=__name__)
IntEnumKeys = enum.IntEnum("IntEnumKeys", MEMBERS, module=__name__)
CustomKeys = CustomValue("CustomKeys", MEMBERS, module=__name__)


def python_cache_class(keys):
    """The same API in idiomatic Python: __slots__, a list, Python methods."""

    class PyCache:
        __slots__ = ("cache_arr",)

        def __init__(self):
            self.cache_arr = [None] * 32

        def get(self, type):
            return self.cache_arr[type.value]

        def set(self, type, value):
            self.cache_arr[type.value] = value

        def get_or_set_val(self, type, value):
            arr, k = self.cache_arr, type.value
            if arr[k] is None:
                arr[k] = value
            return arr[k]

        def get_or_exec(self, type, func):
            arr, k = self.cache_arr, type.value
            if arr[k] is None:
                arr[k] = func()
            return arr[k]

        def __getitem__(self, key):
            if not isinstance(key, keys):
                raise TypeError("The key for cache access must be of type CacheType")
            return self.cache_arr[key.value]

        def __getattr__(self, name):
            if name in keys.__members__:
                return self.cache_arr[keys[name].value]
            raise AttributeError(name)

        def clear(self):
            arr = self.cache_arr
            for i in range(32):
                arr[i] = None

        def clear_selected(self, blacklist=None, whitelist=None):
            spared = {k.value for k in blacklist or ()}
            chosen = {k.value for k in whitelist or keys.__members__.values()}
            arr = self.cache_arr
            for i in chosen - spared:
                if 0 <= i < 32:
                    arr[i] = None

        def copy(self):
            new = PyCache.__new__(PyCache)
            new.cache_arr = self.cache_arr[:]
            return new

        def __deepcopy__(self, memo):
            return self.copy()

    # Module-level under its own name, so that pickle finds it.
    PyCache.__name__ = PyCache.__qualname__ = f"PyCache_{keys.__name__}"
    globals()[PyCache.__name__] = PyCache
    return PyCache


OPERATIONS = [  # (name, statement, relative loop count)
    ("Cache()", "C()", 1),
    ("get", "c.get(A)", 1),
    ("set", "c.set(A, v)", 1),
    ("get_or_set_val hit", "c.get_or_set_val(A, v)", 1),
    ("get_or_set_val miss", "e.set(B, None); e.get_or_set_val(B, v)", 1),
    ("get_or_exec hit", "c.get_or_exec(A, f)", 1),
    ("get_or_exec miss", "e.set(B, None); e.get_or_exec(B, f)", 1),
    ("cache[A]", "c[A]", 1),
    ("cache.NAME", "c.LAYOUT", 1),
    ("subclass .NAME", "s.LAYOUT", 1),
    ("clear", "c.clear()", 4),
    ("clear_selected()", "c.clear_selected()", 4),
    ("clear_selected(lists)", "c.clear_selected(bl, wl)", 4),
    ("copy", "c.copy()", 4),
    ("copy.deepcopy", "deepcopy(c)", 10),
    ("pickle dumps+loads", "loads(dumps(c, 5))", 20),
]
FLOORS = [  # (name, statement, relative loop count)
    ("dict.get", "d.get(3)", 1),
    ("member._value_", "A._value_", 1),
    ("[None]*32", "[None] * 32", 1),
    ("lst[:]", "lst[:]", 1),
    # What a method call would cost before the call if the interpreter could not
    # load the method without a bound one (see the README): `lst.copy` without the call.
    ("bound method", "lst.copy", 1),
    # What the standard library spends on any object of the same kind (see below).
    ("deepcopy", "deepcopy(dc)", 10),
    ("pickle format", "loads(dumps(pf, 5))", 20),
]


# The floors of copy.deepcopy and pickling: objects that ask the standard library for the
# same work as a Cache and do nothing themselves. Their own code is three trivial Python
# functions; everything else is copy's and pickle's.
FLOOR_MODULE = types.ModuleType("quor_bench.floors")
sys.modules.setdefault("quor_bench", types.ModuleType("quor_bench"))
sys.modules[FLOOR_MODULE.__name__] = FLOOR_MODULE


class DeepcopyFloor:
    """`__deepcopy__` returns at once, another object, as Cache's does (so deepcopy memoizes it)."""

    __slots__ = ()

    def __deepcopy__(self, memo):
        return DEEPCOPY_RESULT


DEEPCOPY_RESULT = object()


class PickleFloor:
    """Reduces to Cache's format: two dotted globals, a checksum, a state holding a 32-entry list.

    The reduced value is made once, and rebuilding and applying the state do nothing.
    """

    __slots__ = ("reduced",)

    def __reduce__(self):
        return self.reduced

    def __setstate__(self, state):
        pass


def pickle_floor_rebuild(cls, checksum, state):
    return PICKLE_REBUILT


for _obj in (PickleFloor, pickle_floor_rebuild):
    _obj.__module__ = FLOOR_MODULE.__name__
    setattr(FLOOR_MODULE, _obj.__name__, _obj)
PICKLE_REBUILT = PickleFloor.__new__(PickleFloor)


def pickle_floor(slots):
    pf = PickleFloor()
    pf.reduced = (pickle_floor_rebuild, (PickleFloor, 198515892, None), (slots,))
    return pf


def environment(cls, keys):
    c, e, s = cls(), cls(), type("Sub", (cls,), {})()
    c.set(keys.LAYOUT, "x")
    s.set(keys.LAYOUT, "x")
    return {
        "C": cls, "c": c, "e": e, "s": s, "A": keys.LAYOUT, "B": keys.ICONS, "v": "x",
        "f": lambda: "y", "bl": [keys.THEME], "wl": [keys.LAYOUT, keys.ICONS],
        "deepcopy": copy.deepcopy, "dumps": pickle.dumps, "loads": pickle.loads,
    }


def floor_environment(keys):
    slots = [None] * 32
    slots[keys.LAYOUT.value] = "x"     # what the environment's `c` holds
    return {"d": {3: 1}, "A": keys.LAYOUT, "lst": [None] * 32, "dc": DeepcopyFloor(),
            "pf": pickle_floor(slots),
            "deepcopy": copy.deepcopy, "dumps": pickle.dumps, "loads": pickle.loads}


class Timings:
    """Interleaved timings of one key kind: the minimum ns per operation of every row.

    Rows are ("native", name), ("python", name) and ("floor", name).
    """

    def __init__(self, keys, scale):
        self.keys, self.scale = keys, scale
        self.timers, self.best = {}, {}
        saved = quorcache.CacheType
        quorcache.CacheType = keys
        try:
            envs = {"native": environment(Cache, keys),
                    "python": environment(python_cache_class(keys), keys)}
        finally:
            quorcache.CacheType = saved
        for side, env in envs.items():
            for name, stmt, rel in OPERATIONS:
                self._add((side, name), stmt, env, rel)
        floor_env = floor_environment(keys)
        for name, stmt, rel in FLOORS:
            self._add(("floor", name), stmt, floor_env, rel)

    def _add(self, row, stmt, env, rel):
        # Short timings: on a shared machine, many of them run undisturbed.
        self.timers[row] = (timeit.Timer(stmt, globals=env), max(100, self.scale // rel))
        self.best[row] = math.inf

    def run(self, rounds, rows=None):
        """Times `rows` (default: all) in turn, `rounds` times over, keeping each one's minimum."""
        rows = list(self.timers if rows is None else rows)
        saved = quorcache.CacheType
        quorcache.CacheType = self.keys     # the module reads the key type at each use
        try:
            for _ in range(rounds):
                for row in rows:
                    timer, number = self.timers[row]
                    self.best[row] = min(self.best[row], timer.timeit(number) / number * 1e9)
        finally:
            quorcache.CacheType = saved
        return self

    def __getitem__(self, row):
        return self.best[row]


def report(title, t):
    dict_get = t["floor", "dict.get"]
    print(f"\n{title}")
    print(f"{'operation':24}{'native ns':>11}{'python ns':>11}{'py/native':>11}{'/dict.get':>11}")
    for name, _, _ in OPERATIONS:
        nat, py = t["native", name], t["python", name]
        print(f"{name:24}{nat:11.1f}{py:11.1f}{py / nat:11.2f}{nat / dict_get:11.2f}")
    for name, _, _ in FLOORS:
        print(f"{'floor: ' + name:24}{t['floor', name]:11.1f}")


KEYED = ("get", "set", "get_or_set_val hit", "get_or_set_val miss", "get_or_exec hit",
         "get_or_exec miss", "cache[A]", "cache.NAME")
# Judged against their floors, the standard library's own cost, not against the Python class.
STDLIB = {"copy.deepcopy": "deepcopy", "pickle dumps+loads": "pickle format"}


class Goal(NamedTuple):
    """`row`'s time at most `limit` times `ref`'s; a speed-up over the Python class is shown
    as its inverse (the Python class's time over the module's, at least 1 / limit)."""

    what: str
    row: tuple
    ref: tuple
    limit: float

    @property
    def speedup(self):
        return self.ref[0] == "python"

    def ratio(self, t):
        return t[self.row] / t[self.ref]

    def describe(self, t):
        if self.speedup:
            return f"{self.what}: {1 / self.ratio(t):.2f} x faster than Python < {1 / self.limit:.2f}"
        return f"{self.what}: {self.ratio(t):.2f} x {self.ref[1]} > {self.limit:.2f}"


def targets(custom=False):
    """The goals for stock keys, or with `custom`, for customised keys."""
    if custom:
        return [Goal(f"{name}, customised keys", ("native", name), ("python", name), 1.0)
                for name, _, _ in OPERATIONS if name not in STDLIB]
    out = [Goal(name, ("native", name), ("floor", "dict.get"), 2.0)
           for name in ("get", "set", "get_or_set_val hit", "get_or_exec hit", "cache[A]")]
    out.append(Goal("cache.NAME", ("native", "cache.NAME"), ("floor", "dict.get"), 3.5))
    for name, _, _ in OPERATIONS:
        if name == "subclass .NAME":
            continue  # shown, no target
        if name in STDLIB:
            out.append(Goal(name, ("native", name), ("floor", STDLIB[name]), 1.25))
            continue
        need = 2.5 if name in KEYED else 2.0 if name == "copy" else 3.0
        out.append(Goal(name, ("native", name), ("python", name), 1 / need))
    out.append(Goal("Cache()", ("native", "Cache()"), ("floor", "[None]*32"), 1.5))
    return out


def check(t, goals, rounds, retries=3):
    """Judges the goals; a missed one is timed again, its two sides interleaved, before it counts."""
    missed = [g for g in goals if g.ratio(t) > g.limit]
    for _ in range(retries):
        if not missed:
            break
        t.run(rounds, sorted({row for g in missed for row in (g.row, g.ref)}))
        missed = [g for g in missed if g.ratio(t) > g.limit]
    return [g.describe(t) for g in missed]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    parser.add_argument("--scale", type=int, default=2_000, help="loops per timing")
    parser.add_argument("--rounds", type=int, default=200, help="timings per row")
    args = parser.parse_args()
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"CPython {sys.version.split()[0]}; load average {load}; "
          f"{args.rounds} rounds of {args.scale} loops (fewer for slow rows)")
    missed = []
    for title, keys, goals in [("stock enum.Enum keys", EnumKeys, targets()),
                               ("enum.IntEnum keys", IntEnumKeys, []),
                               ("customised `value` (ordinary lookup)", CustomKeys,
                                targets(custom=True))]:
        t = Timings(keys, args.scale).run(args.rounds)
        if args.check:
            missed += check(t, goals, args.rounds)
        report(title, t)
    if args.check:
        for line in missed:
            print("MISSED", line)
        print("--check:", f"{len(missed)} target(s) missed" if missed else "every target met")
        return 1 if missed else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
