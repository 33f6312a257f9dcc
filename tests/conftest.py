import dis
import enum
import sys
import traceback

import pytest

from quor_ui.core.enums import CacheType
from quor_ui.fast.quorcache import quorcache

NOT_SUB = "'NoneType' object is not subscriptable"
PREFIX = "quor_ui.fast.quorcache.quorcache.Cache."


def enum_calls(fn):
    """The Python-level calls into enum.py that running fn makes."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == enum.__file__:
            calls.append(frame.f_code.co_qualname)

    sys.setprofile(profile)
    try:
        fn()
    finally:
        sys.setprofile(None)
    return calls


def specialised(fn, *args):
    """fn's attribute loads and calls, as the interpreter has specialised them."""
    for _ in range(64):
        fn(*args)
    return [(i.opname, i.argval) for i in dis.get_instructions(fn, adaptive=True)
            if i.opname.startswith(("LOAD_ATTR", "CALL"))]


# For tests that assert a shortcut is taken: a build without them (QUORCACHE_NO_SHORTCUTS,
# or a CPython version the module's internals.hpp does not list) runs the ordinary paths.
needs_shortcuts = pytest.mark.skipif(
    enum_calls(lambda: quorcache.Cache().get(CacheType.LAYOUT)) != [],
    reason="built without shortcuts: a stock key's value runs enum.py's own code")


@pytest.fixture
def mod():
    return quorcache


@pytest.fixture
def cache():
    return quorcache.Cache()


@pytest.fixture
def key():
    """A CacheType member whose slot is 3."""
    return CacheType.LAYOUT


class Key:
    """A key that is no CacheType member: anything with a convertible ``value``."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Key({self.value!r})"


def slots(c):
    """The slot list object of ``c`` itself (or None), as its pickle state carries it."""
    reduced = c.__reduce__()
    return reduced[2][0] if len(reduced) == 3 else reduced[1][2][0]


class Tracked:
    pass


class OnDel:
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


def tb_names(err):
    """Traceback entry names from the first one the module added, Cache methods shortened."""
    names = [f.name for f in traceback.extract_tb(err.value.__traceback__)]
    names = names[next((i for i, n in enumerate(names) if n.startswith(PREFIX)), len(names)):]
    return [n.removeprefix(PREFIX) for n in names]
