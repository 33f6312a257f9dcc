"""Dead exact caches kept for reuse: invisible from Python and from the function table."""
import datetime
import gc
import os
import subprocess
import sys

import pytest

from conftest import Key, slots
from leakcheck import HOOKS, TABLE
from quor_ui.fast.quorcache.quorcache import Cache

pytestmark = [
    pytest.mark.skipif(not HOOKS.reuse_on(), reason="reuse is off in this process"),
    # An assertion inside a __del__ must fail the test, not vanish as a warning.
    pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning"),
]


class Sub(Cache):
    pass


def untracked_values():
    """Objects the collector does not track, each made here so that only the test holds it."""
    return ["".join(["kept ", "str"]), 10 ** 30 + 1, 2.5 * 3, bytes(40), object()]


HAND_OUTS = {
    "Cache()": lambda src: Cache(),
    "copy": lambda src: src.copy(),
    "table new": lambda src: TABLE.new(),
}


@pytest.mark.parametrize("hand_out", HAND_OUTS)
def test_a_kept_cache_comes_back_fresh_and_is_never_seen_meanwhile(hand_out):
    values = untracked_values()
    refs = [sys.getrefcount(v) for v in values]
    src = Cache()
    src.set(Key(7), "in the source")
    HOOKS.drain()
    dead = Cache()
    for i in range(len(values)):
        dead.set(Key(i), values[i])
    dead_ids = {id(dead), id(slots(dead))}
    del dead
    assert [sys.getrefcount(v) for v in values] == refs  # released at death
    assert not any(id(o) in dead_ids for o in gc.get_objects())
    new = HAND_OUTS[hand_out](src)
    assert HOOKS.drain() == 0  # it was the kept one
    expected = slots(src) if hand_out == "copy" else [None] * 32
    assert type(new) is Cache and slots(new) == expected and slots(new) is not slots(src)
    assert gc.is_tracked(new) and gc.is_tracked(slots(new))
    assert sys.getrefcount(new) == sys.getrefcount(src)


SHARED = []


def extra_capacity(c):
    c.__setstate__(([None] * 31,))
    slots(c).append(None)  # 32 long, with room for more


@pytest.mark.parametrize("make, change, kept", [
    (Cache, lambda c: None, 1),
    (Sub, lambda c: None, 0),                          # subclasses never
    (Cache, lambda c: c.set(Key(3), [1]), 0),          # an entry the collector tracks
    (Cache, lambda c: c.set(Key(3), c), 0),            # the cache itself, collected
    (Cache, lambda c: c.__setstate__(([None] * 31,)), 0),  # a shorter list
    (Cache, extra_capacity, 0),                        # not as PyList_New(32) makes it
    (Cache, lambda c: SHARED.append(slots(c)), 0),     # the list held elsewhere
], ids=["empty", "subclass", "tracked entry", "itself", "short", "extra capacity", "shared"])
def test_only_an_exact_cache_alone_with_a_plain_list_of_untracked_entries_is_kept(
        make, change, kept):
    gc.collect()
    HOOKS.drain()
    c = make()
    change(c)
    del c
    gc.collect()
    SHARED.clear()
    assert HOOKS.drain() == kept


class Zone(datetime.tzinfo):
    """Owned by an untracked datetime: releasing the datetime runs this __del__."""

    def __init__(self, action):
        self.action = action

    def utcoffset(self, dt):
        return None

    def __del__(self):
        self.action()


DYING = []  # the id of the list of the cache that dies


def fill_the_reserve():
    assert DYING[0] not in map(id, gc.get_objects())
    caches = [Cache() for _ in range(20)]
    del caches


def test_code_run_by_releasing_an_entry_cannot_reach_the_dying_cache():
    HOOKS.drain()
    c = Cache()
    stamp = datetime.datetime(2000, 1, 1, tzinfo=Zone(fill_the_reserve))
    assert not gc.is_tracked(stamp)
    c.set(Key(5), stamp)
    DYING[:] = [id(slots(c))]
    del stamp, c  # the reserve fills up while c's entries are released: c is freed
    assert HOOKS.drain() == 16


def run_child(code, *options, **env):
    environ = {k: v for k, v in os.environ.items() if k != "PYTHONMALLOC"}
    return subprocess.run([sys.executable, *options, "-c", code], capture_output=True,
                          text=True, timeout=60, env=dict(environ, **env))


CHILD = """
import leakcheck
from quor_ui.fast.quorcache.quorcache import Cache
print(leakcheck.HOOKS.reuse_on())
caches = [Cache() for _ in range(40)]
del caches
"""


@pytest.mark.parametrize("options, env, on", [
    ((), {}, "1"),
    ((), {"PYTHONMALLOC": "malloc"}, "0"),
    ((), {"PYTHONMALLOC": "pymalloc_debug"}, "0"),
    (("-X", "dev"), {}, "0"),
    (("-E",), {"PYTHONMALLOC": "malloc"}, "1"),  # an environment the interpreter ignores
])
def test_checked_allocators_turn_reuse_off_and_kept_caches_go_at_exit(options, env, on):
    tests = os.path.dirname(os.path.abspath(__file__))
    out = run_child(f"import sys; sys.path[:0] = {sys.path + [tests]!r}\n" + CHILD, *options, **env)
    assert (out.stdout, out.stderr, out.returncode) == (on + "\n", "", 0)
