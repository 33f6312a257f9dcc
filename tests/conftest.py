import enum
import sys

import pytest

from quor_ui.core.enums import CacheType
from quor_ui.fast.quorcache import quorcache


def _stock_keys_run_no_enum_code():
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == enum.__file__:
            calls.append(frame.f_code.co_qualname)

    sys.setprofile(profile)
    try:
        quorcache.Cache().get(CacheType.LAYOUT)
    finally:
        sys.setprofile(None)
    return not calls


# For tests that assert a shortcut is taken: a build without them (QUORCACHE_NO_SHORTCUTS,
# or a CPython version the module's internals.hpp does not list) runs the ordinary paths.
needs_shortcuts = pytest.mark.skipif(
    not _stock_keys_run_no_enum_code(),
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
