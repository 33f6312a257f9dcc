"""Slot objects whose finalizers call back into the cache that is releasing them, and caches
kept alive only by cycles through their own slots."""
import gc
import weakref

import pytest

from conftest import Key, slots
from quor_ui.fast.quorcache.quorcache import Cache

A = Key(3)


class Tracked:
    pass


class Reenter:
    """Runs ``action(cache)`` once when released, then drops its hold on the cache."""

    def __init__(self, cache, action, log):
        self.cache, self.action, self.log = cache, action, log

    def __del__(self):
        c, self.cache = self.cache, None
        try:
            self.action(c)
            self.log.append("ok")
        except Exception as e:  # the cache may be half-gone: report, never crash
            self.log.append(type(e).__name__)


ACTIONS = {
    "set": lambda c: c.set(A, Tracked()),
    "set other slot": lambda c: c.set(Key(9), Tracked()),
    "clear": lambda c: c.clear(),
    "clear_selected": lambda c: c.clear_selected(whitelist=[A, Key(9)]),
    "__init__": lambda c: c.__init__(),
    "__setstate__ short": lambda c: c.__setstate__(([Tracked()],)),
    "__setstate__ None": lambda c: c.__setstate__((None,)),
    "read": lambda c: (c.get(A), c.copy(), c.__reduce__()),
}

RELEASES = {
    "set": lambda c: c.set(A, None),
    "set same slot twice": lambda c: (c.set(A, Tracked()), c.set(A, None)),
    "clear": lambda c: c.clear(),
    "clear_selected": lambda c: c.clear_selected(whitelist=[A]),
    "__init__": lambda c: c.__init__(),
    "__setstate__": lambda c: c.__setstate__(([None] * 32,)),
    "get_or_exec replacing": lambda c: c.get_or_exec(Key(4), lambda: c.set(A, None) or 1),
}


def fill(c, action, log, depth=3):
    """Puts a chain of re-entering objects into slot 3, each one's release storing the next."""
    c.set(A, Reenter(c, action, log))
    c.set(Key(5), [Reenter(c, action, log) for _ in range(depth)])


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("release", RELEASES)
def test_finalizer_reentering_during_release(action, release):
    log = []
    c = Cache()
    fill(c, ACTIONS[action], log)
    try:
        RELEASES[release](c)
    except (IndexError, TypeError):
        pass  # the finalizer shrank or dropped the list under the running operation
    arr = slots(c)
    del c, arr
    gc.collect()
    assert log and set(log) <= {"ok", "IndexError", "TypeError"}


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("how", ["dealloc", "gc"])
def test_finalizer_reentering_while_the_cache_dies(action, how):
    log = []
    c = Cache()
    fill(c, ACTIONS[action], log)
    held = Tracked()
    c.set(Key(7), held)
    probe = weakref.ref(held)
    del held
    if how == "gc":
        c.set(Key(6), c)  # only the collector can free it now
    del c
    gc.collect()
    assert probe() is None and log and set(log) <= {"ok", "IndexError", "TypeError"}


@pytest.mark.parametrize("shape", ["self", "pair", "via list", "via copy.copy share"])
def test_caches_in_cycles_are_collected(shape):
    tracked = Tracked()
    a, b = Cache(), Cache()
    a.set(Key(1), tracked)
    b.set(Key(2), tracked)
    if shape == "self":
        a.set(Key(0), a)
    elif shape == "pair":
        a.set(Key(0), b)
        b.set(Key(0), a)
    elif shape == "via list":
        a.set(Key(0), [b, {"a": a}])
    else:
        import copy
        d = copy.copy(a)  # shares a's slot list
        a.set(Key(0), d)
    refs = [weakref.ref(tracked)]
    tracked = None
    del a, b
    if shape == "via copy.copy share":
        del d
    gc.collect()
    assert all(r() is None for r in refs)


def test_gc_clear_seen_from_a_finalizer_finds_no_list():
    seen = []

    class Peek:
        def __init__(self, c):
            self.c = c

        def __del__(self):
            try:
                self.c.get(A)
            except TypeError as e:
                seen.append(str(e))

    c = Cache()
    c.set(A, c)
    c.set(Key(4), Peek(c))
    del c
    gc.collect()
    assert seen in ([], ["'NoneType' object is not subscriptable"])
