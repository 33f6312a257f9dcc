"""Attribute lookup on Cache and its subclasses: member names reach the slots before a
subclass's own __getattr__, and the few differences this leaves are pinned down (that
methods load without a bound method: test_fast_paths)."""
import abc

import pytest

from quor_ui.core.enums import CacheType as K
from quor_ui.fast.quorcache.quorcache import Cache


# The deliberate differences from a type with its own attribute hook.

def test_getattribute_is_objects():
    assert "__getattribute__" not in Cache.__dict__
    assert Cache.__getattribute__ is object.__getattribute__


def test_explicit_getattribute_does_not_read_members():
    c = Cache()
    c.set(K.THEME, "t")
    assert c.THEME == "t" and getattr(c, "THEME") == "t" and hasattr(c, "THEME")
    for explicit in (lambda: c.__getattribute__("THEME"), lambda: Cache.__getattribute__(c, "THEME")):
        with pytest.raises(AttributeError):
            explicit()
    assert c.__getattribute__("get") == c.get


def test_subclass_gains_getattribute_with_its_first_instance():
    class Sub(Cache):
        def member(self):
            return super().__getattribute__("THEME")

    assert "__getattribute__" not in vars(Sub)
    s = Sub()
    assert "__getattribute__" in vars(Sub)
    s.set(K.THEME, "t")
    assert s.THEME == "t"
    with pytest.raises(AttributeError):
        s.member()


# Semantics that stay as they were.

def test_cache_attribute_lookup():
    c = Cache()
    c.set(K.LAYOUT, "l")
    assert c.LAYOUT == "l" and c.get.__qualname__ == "Cache.get"
    with pytest.raises(AttributeError) as err:
        c.NOT_A_MEMBER
    assert err.value.args == ("NOT_A_MEMBER",)
    assert getattr(c, "NOT_A_MEMBER", 5) == 5 and not hasattr(c, "__dict__")
    with pytest.raises(TypeError, match="expected str, got int"):
        c.__getattr__(5)


class Fallback:
    def __getattr__(self, name):
        return ("fallback", name)


class OwnGetattribute:
    def __getattribute__(self, name):
        if name == "THEME":
            return "own"
        return super().__getattribute__(name)


def plain():
    return type("Plain", (Cache,), {})


def own_getattr():
    return type("OwnGetattr", (Cache,), {"__getattr__": lambda self, name: ("own", name)})


def mixin_first():
    return type("MixinFirst", (Fallback, Cache), {})


def mixin_last():
    return type("MixinLast", (Cache, Fallback), {})


@pytest.mark.parametrize("make, missing", [
    (plain, AttributeError),
    (own_getattr, ("own", "NOPE")),
    (mixin_first, ("fallback", "NOPE")),
    (mixin_last, AttributeError),  # Cache's __getattr__ comes first in the MRO
])
def test_subclasses_read_members_before_their_getattr(make, missing):
    cls = make()
    s = cls()
    s.set(K.LAYOUT, "l")
    s.extra = "own attribute"
    assert s.LAYOUT == "l" and s.extra == "own attribute" and s.get(K.LAYOUT) == "l"
    s.LAYOUT = "shadow"  # the instance dict comes before members
    assert s.LAYOUT == "shadow" and s[K.LAYOUT] == "l"
    if missing is AttributeError:
        with pytest.raises(AttributeError) as err:
            s.NOPE
        assert err.value.args == ("NOPE",)
    else:
        assert s.NOPE == missing


def test_subclass_with_own_getattribute_keeps_it():
    class Sub(OwnGetattribute, Cache):
        pass

    s = Sub()
    assert "__getattribute__" not in vars(Sub)
    s.set(K.LAYOUT, "l")
    assert s.THEME == "own" and s.LAYOUT == "l"  # its AttributeError falls back to __getattr__
    with pytest.raises(AttributeError):
        s.NOPE


def test_mixin_after_cache_and_stated_object_lookup_keep_their_places():
    class After(Cache, OwnGetattribute):  # Cache's lookup used to come first
        pass

    class Stated(Cache):
        __getattribute__ = object.__getattribute__

        def __getattr__(self, name):
            return ("own", name)

    a, s = After(), Stated()
    a.set(K.THEME, "slot")
    s.set(K.THEME, "slot")
    assert a.THEME == "slot" and vars(After)["__getattribute__"] is not OwnGetattribute.__getattribute__
    assert vars(Stated)["__getattribute__"] is object.__getattribute__ and s.THEME == ("own", "THEME")


def test_delegating_getattribute_with_own_getattr_sees_members_first():
    # A deliberate difference: super().__getattribute__ now finds object's lookup.
    class Own(Cache):
        def __getattribute__(self, name):
            return super().__getattribute__(name)

        def __getattr__(self, name):
            return ("own", name)

    o = Own()
    o.set(K.THEME, "slot")
    assert o.THEME == ("own", "THEME") and o.get(K.THEME) == "slot"


def test_refused_abstract_subclass_is_left_as_it_was():
    class Abstract(Cache, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def f(self):
            pass

    message = ("Can't instantiate abstract class Abstract without an implementation for "
               "abstract method 'f'")
    for make in (Abstract, lambda: Cache.__new__(Abstract)):
        with pytest.raises(TypeError) as err:
            make()
        assert err.value.args == (message,)
    assert "__getattribute__" not in vars(Abstract)


def test_getattr_added_after_instances_and_subclasses_made_earlier():
    class Base(Cache):
        pass

    class Child(Base):
        pass

    b = Base()
    assert "__getattribute__" in vars(Base) and "__getattribute__" not in vars(Child)
    Child.__getattr__ = lambda self, name: ("child", name)
    c = Child()
    c.set(K.THEME, "t")
    b.set(K.THEME, "b")
    assert c.THEME == "t" and c.NOPE == ("child", "NOPE") and b.THEME == "b"
    Base.__getattr__ = lambda self, name: ("base", name)
    assert b.THEME == "b" and b.NOPE == ("base", "NOPE")


@pytest.mark.parametrize("error", [AttributeError("inner"), ValueError("inner")])
def test_property_of_a_subclass_raising(error):
    # AttributeError falls back to the members; any other error comes out unchanged.
    class Sub(Cache):
        @property
        def THEME(self):
            raise error

    s = Sub()
    s.set(K.THEME, "t")
    if isinstance(error, AttributeError):
        assert s.THEME == "t"
        return
    with pytest.raises(ValueError) as raised:
        s.THEME
    assert raised.value is error


def test_failed_setup_of_a_subclass_is_retried():
    _testcapi = pytest.importorskip("_testcapi")
    cls = own_getattr()
    for start in range(1, 200):
        _testcapi.set_nomemory(start, 0)
        try:
            s = cls()
        except MemoryError:
            continue
        finally:
            _testcapi.remove_mem_hooks()
        break
    else:
        pytest.fail("never succeeded")
    assert "__getattribute__" in vars(cls)
    s.set(K.THEME, "t")
    assert s.THEME == "t" and s.NOPE == ("own", "NOPE")
