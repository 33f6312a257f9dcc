"""Attribute lookup on Cache and its subclasses: methods load without a bound method,
member names reach the slots before a subclass's own __getattr__, and the few
differences this leaves are pinned down."""
import abc
import dis

import pytest

from conftest import needs_shortcuts
from quor_ui.core.enums import CacheType as K
from quor_ui.fast.quorcache.quorcache import Cache


def specialised(fn, *args):
    """fn's attribute loads and calls, as the interpreter has specialised them."""
    for _ in range(64):
        fn(*args)
    return [(i.opname, i.argval) for i in dis.get_instructions(fn, adaptive=True)
            if i.opname.startswith(("LOAD_ATTR", "CALL"))]


@needs_shortcuts
def test_method_calls_are_specialised():
    def calls(c, k):
        c.get(k)
        c.set(k, 1)
        c.get_or_set_val(k, 2)
        c.get_or_exec(k, int)
        c.copy()

    ops = specialised(calls, Cache(), K.THEME)
    loads = [name for op, name in ops if op == "LOAD_ATTR_METHOD_NO_DICT"]
    assert loads == ["get", "set", "get_or_set_val", "get_or_exec", "copy"], ops
    assert [op for op, _ in ops if op.startswith("CALL")] == \
        ["CALL_METHOD_DESCRIPTOR_FAST_WITH_KEYWORDS"] * 5, ops


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


@pytest.mark.parametrize("own_getattr", [False, True])
def test_subclass_keeps_the_interpreters_hook_unless_its_getattr_needs_ours(own_getattr):
    body = {"member": lambda self: super(Sub, self).__getattribute__("THEME")}
    if own_getattr:
        body["__getattr__"] = lambda self, name: ("own", name)
    Sub = type("Sub", (Cache,), body)
    s = Sub()
    s.set(K.THEME, "t")
    assert "__getattribute__" not in vars(Sub) and s.THEME == "t"
    with pytest.raises(AttributeError):
        s.member()
    # a method load without a bound method (how the instance keeps its dict varies)
    op, name = specialised(lambda: s.get(K.THEME))[0]
    assert name == "get" and op.startswith("LOAD_ATTR_METHOD") != own_getattr, op


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


def test_getattribute_found_anywhere_on_the_mro_runs_before_members():
    class After(Cache, OwnGetattribute):
        pass

    class Stated(Cache):
        __getattribute__ = object.__getattribute__

        def __getattr__(self, name):
            return ("own", name)

    class Own(Stated):
        def __getattribute__(self, name):
            return super().__getattribute__(name)

    for cls in (After, Stated, Own):
        s = cls()
        s.set(K.THEME, "slot")
        s.set(K.LAYOUT, "l")
        assert s.LAYOUT == "l" and s.THEME == ("own" if cls is After else "slot"), cls
    assert Own().NOPE == ("own", "NOPE")


def test_hooks_of_mixins_and_bases_are_seen_whatever_was_made_first():
    class A(Cache):
        pass

    class M(Cache, OwnGetattribute):
        pass

    class B(A, M):
        pass

    A()
    assert B().THEME == "own"
    Child = type("Child", (A,), {})
    Child()
    A.__getattribute__ = lambda self, name: "base" if name == "THEME" else object.__getattribute__(self, name)
    assert Child().THEME == "base" and B().THEME == "base"


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


def test_getattr_added_later_comes_after_members_from_the_next_instance_on():
    class Base(Cache):
        pass

    class Child(Base):
        pass

    b = Base()
    b.set(K.THEME, "b")
    Base.__getattr__ = lambda self, name: ("base", name)
    assert b.THEME == ("base", "THEME")  # decided again when the class makes an instance
    Base()
    c = Child()
    c.set(K.THEME, "c")
    assert b.THEME == "b" and b.NOPE == ("base", "NOPE") and c.THEME == "c"


@pytest.mark.filterwarnings("ignore:builtin type:DeprecationWarning")
def test_immutable_subclass_made_by_an_extension_is_constructible():
    _testcapi = pytest.importorskip("_testcapi")
    s = _testcapi.make_immutable_type_with_base(Cache)()
    s.set(K.THEME, "t")
    assert s.THEME == "t" and s.get(K.THEME) == "t"


@pytest.mark.parametrize("make", [plain, own_getattr])
def test_subclass_property_errors(make):
    def fails(error):
        def get(self):
            raise error
        return property(get)

    cls = type("Sub", (make(),), {"THEME": fails(AttributeError("inner")),
                                  "LAYOUT": fails(ValueError("inner"))})
    s = cls()
    s.set(K.THEME, "t")
    assert s.THEME == "t"  # an AttributeError falls back to the members
    with pytest.raises(ValueError, match="inner") as err:  # anything else comes out as raised
        s.LAYOUT
    assert err.value.__context__ is None


def test_subclass_first_instance_under_failed_allocations():
    _testcapi = pytest.importorskip("_testcapi")
    for start in range(1, 40):
        cls = own_getattr()
        _testcapi.set_nomemory(start, start + 1)
        try:
            s = cls()
        except MemoryError:
            continue
        finally:
            _testcapi.remove_mem_hooks()
        s.set(K.THEME, "t")
        assert s.THEME == "t" and s.NOPE == ("own", "NOPE")
