"""Cache through its function table, from a native module built against quorcache.h alone."""
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import traceback
import types
from pathlib import Path

import pytest

from conftest import Key, slots
import quor_ui
from quor_ui.fast.quorcache import get_include, quorcache
from quor_ui.fast.quorcache.quorcache import Cache

PREFIX = "quor_ui.fast.quorcache.quorcache.Cache."
NOT_SUBSCRIPTABLE = "'NoneType' object is not subscriptable"


def cmake_tools():
    """cmake and the generator options, from the environment's bin folder first."""
    # The test extra brings cmake and ninja into the environment's bin folder, which need
    # not be on PATH (a virtual environment used without activating it).
    path = os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])
    cmake, ninja = shutil.which("cmake", path=path), shutil.which("ninja", path=path)
    assert cmake, "the native consumer is built with cmake: pip install '.[test]' brings it"
    return cmake, ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja else []


def cmake_dir():
    return subprocess.run([sys.executable, "-m", "quor_ui.fast.quorcache", "--cmake-dir"],
                          capture_output=True, text=True, check=True).stdout.strip()


@pytest.fixture(scope="session")
def native(tmp_path_factory):
    """tests/native, configured with the installed CMake package, built and imported."""
    cmake, generator = cmake_tools()
    build = tmp_path_factory.mktemp("consumer")
    for args in (["-S", Path(__file__).parent / "native", "-B", build, *generator,
                  f"-Dquorcache_DIR={cmake_dir()}", f"-DPython_EXECUTABLE={sys.executable}"],
                 ["--build", build]):
        done = subprocess.run([cmake, *args], capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    (path,) = build.glob("quorcache_consumer.*.so")
    spec = importlib.util.spec_from_file_location("quorcache_consumer", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_header_states_the_distributions_version(native):
    major, minor, patch = map(int, quor_ui.__version__.split("."))
    assert native.header_version() == (major << 24 | minor << 16 | patch << 8,
                                       quor_ui.__version__)


VERSION = tuple(map(int, quor_ui.__version__.split(".")))


@pytest.mark.parametrize("wanted, found", [
    ("{0}.{1}", True),
    ("{0}.{1}...<{3}", True),
    ("{0}.{2}", False),          # a newer minor version than the installed one
    ("{3}", False),              # the next major version
])
def test_cmake_package_meets_requests_within_its_major_version(tmp_path, wanted, found):
    wanted = wanted.format(VERSION[0], VERSION[1], VERSION[1] + 1, VERSION[0] + 1)
    (tmp_path / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.25)\nproject(probe NONE)\n"
        f"find_package(quorcache {wanted} CONFIG REQUIRED)\n"
        "get_target_property(inc quorcache::headers INTERFACE_INCLUDE_DIRECTORIES)\n"
        'message(STATUS "quorcache=${quorcache_VERSION} include=${inc}")\n')
    cmake, _ = cmake_tools()
    done = subprocess.run([cmake, "-S", tmp_path, "-B", tmp_path / "build",
                           f"-Dquorcache_DIR={cmake_dir()}"], capture_output=True, text=True)
    assert (done.returncode == 0) is found, done.stdout + done.stderr
    if found:
        assert f"quorcache={quor_ui.__version__} include={get_include()}\n" in done.stdout


def full():
    c = Cache()
    for i in range(32):
        c.set(Key(i), object())
    return c


def short():
    c = Cache()
    c.__setstate__(([object() for _ in range(4)],))
    return c


def snapshot(c):
    s = slots(c)
    return s if s is None else list(s)


def never():
    raise AssertionError("func must not be called")


def test_new_makes_an_exact_cache_with_32_empty_slots(native):
    a, b, held_alike = native.new(), native.new(), Cache()
    assert type(a) is Cache and sys.getrefcount(a) == sys.getrefcount(held_alike)
    assert type(slots(a)) is list and slots(a) == [None] * 32 and slots(a) is not slots(b)
    vtab_is_table, arr = native.fields(a)
    assert vtab_is_table and arr is slots(a)
    assert native.import_api() == (Cache, True)


def test_c_set_and_c_get_keep_one_reference_per_slot(native, cache, key):
    obj = object()
    base = sys.getrefcount(obj)
    assert native.c_set(cache, 3, obj) is None
    assert native.c_get(cache, 3) is obj and cache.get(key) is obj
    assert sys.getrefcount(obj) == base + 1
    native.c_set(cache, 3, None)
    assert sys.getrefcount(obj) == base and native.c_get(cache, 3) is None


def test_c_get_or_set_val_stores_only_into_an_empty_slot(native, cache):
    v, w, held_alike = object(), object(), object()
    base = sys.getrefcount(held_alike)
    assert native.c_get_or_set_val(cache, 5, v) is v
    assert native.c_get_or_set_val(cache, 5, w) is v
    assert slots(cache)[5] is v
    assert sys.getrefcount(v) == base + 1 and sys.getrefcount(w) == base


def test_c_get_or_exec_calls_func_on_a_miss_only(native, cache):
    calls, held_alike = [], []
    first = native.c_get_or_exec(cache, 7, lambda: calls.append(1) or [])
    assert native.c_get_or_exec(cache, 7, 5) is first  # a full slot: func need not be callable
    assert calls == [1] and slots(cache)[7] is first
    assert sys.getrefcount(first) == sys.getrefcount(held_alike) + 1  # and the slot's


def test_c_clear_empties_all_32_slots(native):
    c = full()
    assert native.c_clear(c) is None
    assert slots(c) == [None] * 32


def test_c_clear_selected_empties_whitelist_minus_blacklist(native):
    c = full()
    before = snapshot(c)
    assert native.c_clear_selected(c, [Key(4)], [Key(1), Key(4), Key(40), Key(-1)]) is None
    assert [i for i in range(32) if slots(c)[i] is not before[i]] == [1] and slots(c)[1] is None


WITH_INDEX = {
    "c_get": lambda n, c, i: n.c_get(c, i),
    "c_set": lambda n, c, i: n.c_set(c, i, "x"),
    "c_get_or_set_val": lambda n, c, i: n.c_get_or_set_val(c, i, "x"),
    "c_get_or_exec": lambda n, c, i: n.c_get_or_exec(c, i, never),
}


@pytest.mark.parametrize("op", WITH_INDEX)
@pytest.mark.parametrize("make, index", [(full, -2**31), (full, -1), (full, 32), (short, 4)])
def test_bad_index_raises_index_error_and_touches_nothing(native, op, make, index):
    c = make()
    before = snapshot(c)
    with pytest.raises(IndexError, match=f"^Cache slot index {index} is out of range$") as info:
        WITH_INDEX[op](native, c, index)
    assert snapshot(c) == before
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == PREFIX + op


@pytest.mark.parametrize("make, op, args, exc, message", [
    (lambda: Cache.__new__(Cache), "c_clear", (), TypeError, NOT_SUBSCRIPTABLE),
    (lambda: Cache.__new__(Cache), "c_clear_selected", ([], [Key(0)]), TypeError, NOT_SUBSCRIPTABLE),
    (lambda: Cache.__new__(Cache), "c_set", (0, 1), TypeError, NOT_SUBSCRIPTABLE),
    (short, "c_clear", (), IndexError, "Cache slot index 4 is out of range"),
    (full, "c_clear_selected", (None, [Key(0)]), TypeError, "'NoneType' object is not iterable"),
])
def test_void_operations_report_failure_as_a_pending_exception(native, make, op, args, exc,
                                                               message):
    c = make()
    before = snapshot(c)
    with pytest.raises(exc, match=f"^{re.escape(message)}$") as info:
        getattr(native, op)(c, *args)
    assert snapshot(c) == before
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == PREFIX + op


class SameLayout(Cache):
    __slots__ = ()
    __pyx_vtable__ = 1


@pytest.mark.parametrize("namespace, exc, message", [
    (None, ImportError, "None in sys.modules"),
    ({}, AttributeError, "has no attribute 'Cache'"),
    ({"Cache": 5}, TypeError, r"^quor_ui\.fast\.quorcache\.quorcache\.Cache is not a type but int$"),
    ({"Cache": type("Plain", (), {})}, ImportError, "the header does not match the module$"),
    ({"Cache": SameLayout}, TypeError,
     r"^quor_ui\.fast\.quorcache\.quorcache\.Cache\.__pyx_vtable__ is not a capsule but int$"),
])
def test_import_function_says_what_is_wrong(native, monkeypatch, namespace, exc, message):
    fake = None
    if namespace is not None:
        fake = types.ModuleType(quorcache.__name__)
        vars(fake).update(namespace)
    monkeypatch.setitem(sys.modules, quorcache.__name__, fake)
    with pytest.raises(exc, match=message):
        native.import_api()


def test_immutable_subclass_from_an_extension_is_constructible(native, key):
    cls = native.immutable_subclass()
    s = cls()
    s.set(key, "x")
    assert type(s) is cls and s.LAYOUT == "x" and "__getattribute__" not in vars(cls)
