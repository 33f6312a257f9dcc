"""Key resolution reads a stock member's `_value_` and its value descriptor's getter from
their inline attributes, and the module's globals and member maps through remembered
facts that a dict watcher drops: each change below must be seen by the very next call."""
import enum
import gc

import pytest

from conftest import slots
from quor_ui.fast.quorcache.quorcache import Cache


def make_keys():
    return enum.Enum("Keys", {"A": 3, "B": 4})


def slot_of(c, obj):
    return slots(c).index(obj)


def warm(c, key):
    for _ in range(3):
        c.get(key)


def test_member_value_changed_after_use():
    K = make_keys()
    c = Cache()
    warm(c, K.A)
    object.__setattr__(K.A, "_value_", 5)
    c.set(K.A, "moved")
    assert slot_of(c, "moved") == 5
    object.__setattr__(K.A, "_value_", 3)
    c.set(K.A, "back")
    assert slot_of(c, "back") == 3


def test_member_dict_made_after_use():
    K = make_keys()
    c = Cache()
    warm(c, K.A)
    vars(K.A)["_value_"] = 6  # the inline values move into a dict
    c.set(K.A, "dict")
    assert slot_of(c, "dict") == 6 and c.get(K.B) is None


def test_member_value_deleted_after_use():
    K = make_keys()
    c = Cache()
    warm(c, K.A)
    object.__delattr__(K.A, "_value_")
    with pytest.raises(AttributeError) as err:
        c.get(K.A)
    assert err.value.name == "_value_" and err.value.obj is K.A
    assert c.get(K.B) is None


class Shadow:
    pass


def test_key_type_gains_a_value_attribute_after_use():
    class Keys(Shadow, enum.Enum):
        A = 3

    c = Cache()
    warm(c, Keys.A)
    Shadow._value_ = property(lambda self: 8)
    try:
        c.set(Keys.A, "shadowed")
        assert slot_of(c, "shadowed") == 8
    finally:
        del Shadow._value_
    c.set(Keys.A, "own")
    assert slot_of(c, "own") == 3


def test_two_key_types_take_turns():
    K, L = make_keys(), enum.Enum("L", {"A": 7})
    c = Cache()
    for _ in range(3):
        c.set(K.A, "k")
        c.set(L.A, "l")
        assert c.get(K.A) == "k" and c.get(L.A) == "l" and slot_of(c, "l") == 7


def test_value_getter_changed_by_its_dict():
    prop = enum.Enum.__dict__["value"]
    K = make_keys()
    c = Cache()
    warm(c, K.A)
    stock = prop.fget
    vars(prop)["fget"] = lambda self: 9  # the descriptor's attributes move into a dict
    try:
        c.set(K.A, "nine")
        assert slot_of(c, "nine") == 9
    finally:
        prop.fget = stock
    c.set(K.A, "three")
    assert slot_of(c, "three") == 3


def test_module_namespace_changes_are_seen_at_once(mod, monkeypatch):
    K, L = make_keys(), enum.Enum("L", {"A": 7})
    monkeypatch.setattr(mod, "CacheType", K)
    c = Cache()
    c.set(K.A, "k")
    c.set(L.A, "l")
    assert c.A == "k" and c[K.A] == "k"
    mod.CacheType = L
    assert c.A == "l" and c[L.A] == "l"
    mod.__dict__[5] = "a key that is no str"
    try:
        assert c.A == "l"
    finally:
        del mod.__dict__[5]
    del mod.CacheType
    with pytest.raises(NameError):
        c.A


def test_member_map_changes_are_seen_at_once(mod, monkeypatch):
    K = make_keys()
    monkeypatch.setattr(mod, "CacheType", K)
    c = Cache()
    c.set(K.A, "a")
    c.set(K.B, "b")
    assert c.A == "a"
    K._member_map_["A"] = K.B
    assert c.A == "b"
    del K._member_map_["A"]
    assert not hasattr(c, "A")
    K._member_map_["A"] = K.A
    assert c.A == "a"


def test_remembered_globals_do_not_keep_replaced_objects(mod, monkeypatch):
    import weakref

    K = make_keys()
    monkeypatch.setattr(mod, "CacheType", K)
    c = Cache()
    assert c.A is None
    seen = weakref.ref(K)
    mod.CacheType = make_keys()  # monkeypatch restores the original
    del K
    assert c.A is None  # the new class's map replaces the one remembered
    gc.collect()
    assert seen() is None


def test_no_dict_watcher_left():
    """Without a watcher, nothing is remembered; once one is free, the module takes it."""
    import os
    import subprocess
    import sys
    import textwrap

    pytest.importorskip("_testcapi")
    code = textwrap.dedent("""\
        import enum
        import _testcapi
        from quor_ui.fast.quorcache import quorcache
        from quor_ui.fast.quorcache.quorcache import Cache
        taken = []
        while True:
            try:
                taken.append(_testcapi.add_dict_watcher(0))
            except RuntimeError:
                break
        K, L = enum.Enum("K", {"A": 3}), enum.Enum("L", {"A": 5})

        def check():
            quorcache.CacheType = K
            c = Cache()
            c.set(K.A, "k")
            c.set(L.A, "l")
            assert c.A == "k" and c[K.A] == "k" and not hasattr(c, "B")
            quorcache.CacheType = L
            assert c.A == "l" and c[L.A] == "l"
            K._member_map_["B"] = K.A
            quorcache.CacheType = K
            assert c.B == "k"
            del K._member_map_["B"]
            assert not hasattr(c, "B")

        check()
        _testcapi.clear_dict_watcher(taken.pop())
        check()
        check()
        print("ok")
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr
