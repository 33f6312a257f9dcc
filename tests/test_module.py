import gc
import importlib
import re
import sys
import traceback
import weakref
from pathlib import Path

import pytest
from conftest import Key
from fresh import run_fresh

NAME = "quor_ui.fast.quorcache.quorcache"
METHODS = ["clear", "clear_selected", "get", "set", "get_or_set_val", "get_or_exec",
           "__getattr__", "copy", "__deepcopy__", "__reduce__", "__setstate__"]
SOURCES = Path(__file__).resolve().parents[1] / "src" / "quor_ui" / "fast" / "quorcache"


def added_at(name, filename, line):
    """The name that the source line a traceback entry points at gives its entry."""
    text = (SOURCES / filename).read_text().splitlines()[line - 1]
    found = re.search(r'(?:add_traceback|keyed_call<[^>]*>)(_raw)?\("([^"]+)"', text)
    assert found, f"{filename}:{line} adds no traceback entry: {text.strip()}"
    return found[2] if found[1] else f"{NAME}.{found[2]}"


def test_traceback_entries_name_the_reporting_source_line(cache):
    with pytest.raises(IndexError) as err:
        cache.get(Key(40))
    entries = [f for f in traceback.extract_tb(err.value.__traceback__) if f.name.startswith(NAME)]
    assert [f.name for f in entries] == [f"{NAME}.Cache.get", f"{NAME}.Cache.c_get"]
    for f in entries:
        assert f.filename == "cache.cpp" and added_at(f.name, f.filename, f.lineno) == f.name
    # each entry is a frame of its own with globals of its own; the exception is unchanged
    tb, frames = err.value.__traceback__, []
    while tb is not None:
        frames.append(tb.tb_frame)
        tb = tb.tb_next
    own = [fr for fr in frames if fr.f_code.co_name.startswith(NAME)]
    assert len(own) == 2 and own[0].f_globals == {} and own[0].f_globals is not own[1].f_globals
    assert str(err.value) == "Cache slot index 40 is out of range"


def test_namespace(mod):
    from quor_ui.core.enums import CacheType
    assert set(vars(mod)) == {"__name__", "__doc__", "__package__", "__loader__", "__spec__",
                              "__file__", "__builtins__", "Cache", "CacheType",
                              "__pyx_unpickle_Cache", "__test__"}
    assert (mod.__name__, mod.__doc__, mod.__package__) == (NAME, None, "quor_ui.fast.quorcache")
    assert mod.__loader__ is mod.__spec__.loader and mod.__file__ == mod.__spec__.origin
    assert mod.__builtins__ is sys.modules["builtins"] and mod.CacheType is CacheType
    assert type(mod.__test__) is dict and mod.__test__ == {}
    fn = mod.__pyx_unpickle_Cache
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (
        "__pyx_unpickle_Cache", "__pyx_unpickle_Cache", NAME)


def test_type(mod, cache):
    Cache = mod.Cache
    assert (Cache.__name__, Cache.__qualname__, Cache.__module__) == ("Cache", "Cache", NAME)
    assert Cache.__mro__ == (Cache, object) and Cache.__doc__ is None
    assert Cache.__basicsize__ == object.__basicsize__ + 16 and Cache.__itemsize__ == 0
    assert repr(Cache.__dict__["__pyx_vtable__"]).startswith("<capsule object NULL at ")
    with pytest.raises(TypeError) as err:
        Cache.x = 1
    assert str(err.value) == f"cannot set 'x' attribute of immutable type '{NAME}.Cache'"
    with pytest.raises(AttributeError):
        cache.x = 1
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(cache)
    assert gc.is_tracked(cache)
    sub = type("Sub", (Cache,), {})()
    sub.x = 1
    assert sub.get(Key(3)) is None and sub.x == 1


def test_method_table(mod, cache):
    d = mod.Cache.__dict__
    assert [n for n in d if n in METHODS] == METHODS
    for name in METHODS:
        meth = getattr(mod.Cache, name)
        assert meth is d[name] and getattr(cache, name).__self__ is cache
        assert (meth.__name__, meth.__qualname__, meth.__doc__) == (name, "Cache." + name, None)


def test_reimport_and_reload_keep_the_module(mod, monkeypatch):
    marker = object()
    monkeypatch.setattr(mod, "CacheType", marker)
    test_dict, cache_type = mod.__test__, mod.Cache
    monkeypatch.delitem(sys.modules, NAME)
    assert importlib.import_module(NAME) is mod and sys.modules[NAME] is mod
    assert importlib.reload(mod) is mod
    # the namespace is not built again: the rebinding and the old objects survive
    assert mod.CacheType is marker and mod.__test__ is test_dict and mod.Cache is cache_type


# The sub-interpreter module and how to ask it for an interpreter that shares the main
# one's GIL (a module without a per-interpreter-GIL slot is refused by any other kind).
if sys.version_info >= (3, 13):
    SUBINTERPRETERS, SHARED_GIL = "_interpreters", "'legacy'"
else:
    SUBINTERPRETERS, SHARED_GIL = "_xxsubinterpreters", "isolated=False"


@pytest.mark.parametrize("first_fails", [False, True])
def test_subinterpreter_refused(first_fails):
    out = run_fresh(f"""
        import sys, {SUBINTERPRETERS} as interps
        if {first_fails}:
            sys.modules["quor_ui.core.enums"] = None
        try:
            import {NAME}
            print("main: ok", flush=True)
        except ImportError as e:
            print("main:", type(e).__name__, flush=True)
        sub = interps.create({SHARED_GIL})
        interps.run_string(sub, '''if 1:
            try:
                import {NAME}
                print("sub: ok", flush=True)
            except BaseException as e:
                print(f"sub: {{type(e).__name__}}: {{e}}", flush=True)''')
        """).stdout.splitlines()
    assert out == ["main: ModuleNotFoundError" if first_fails else "main: ok",
                   "sub: ImportError: Interpreter change detected - this module can only be "
                   "loaded into one interpreter per process."]


@pytest.mark.parametrize("preset", [False, True])
def test_exec_by_hand(preset):
    out = run_fresh(f"""
        import importlib.util, sys, types
        spec = importlib.util.find_spec("{NAME}")
        a, b = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        print(a is not b, "{NAME}" in sys.modules)
        if {preset}:
            sys.modules["{NAME}"] = types.ModuleType("{NAME}")
        spec.loader.exec_module(a)
        print(sys.modules["{NAME}"] is a, a.Cache().get(a.CacheType.LAYOUT))
        try:
            spec.loader.exec_module(b)
        except RuntimeError as e:
            print(e, hasattr(b, "Cache"))
        del sys.modules["{NAME}"]
        import {NAME} as again
        print(again is a)
        """, "-W", "error").stdout.splitlines()  # the module's own interpreter warns of nothing
    assert out == ["True False", f"{not preset} None", "Module 'quorcache' has already been "
                   "imported. Re-initialisation is not supported. False", "True"]


@pytest.mark.parametrize("setup, error", [
    ("None", "ModuleNotFoundError: import of quor_ui.core.enums halted; None in sys.modules"),
    ("types.ModuleType('quor_ui.core.enums')", "ImportError: cannot import name CacheType"),
])
def test_enums_import_failure_then_retry(setup, error):
    out = run_fresh(f"""
        import sys, traceback, types
        sys.modules["quor_ui.core.enums"] = {setup}
        try:
            import {NAME}
        except ImportError as e:
            print(f"{{type(e).__name__}}: {{e}}")
            entry = traceback.extract_tb(e.__traceback__)[-1]
            print(entry.name, entry.filename, entry.lineno, "{NAME}" in sys.modules)
        del sys.modules["quor_ui.core.enums"]
        import {NAME} as m
        print(m.CacheType.__module__, m.__pyx_unpickle_Cache.__name__, m.__test__)
        """).stdout.splitlines()
    assert out[0] == error and out[2] == "quor_ui.core.enums __pyx_unpickle_Cache {}"
    name, filename, line, registered = out[1].rsplit(" ", 3)
    assert registered == "False" and added_at(name, filename, int(line)) == f"init {NAME}"


@pytest.mark.parametrize("setup", ["None", "types.ModuleType('quor_ui.core.enums')"])
def test_failed_imports_leak_nothing(setup):
    out = run_fresh(f"""
        import gc, sys, types
        import quor_ui.core.enums as real
        broken = {setup}

        def attempt():
            sys.modules["quor_ui.core.enums"] = broken
            try:
                import {NAME}
            except ImportError:
                pass
            else:
                raise AssertionError("imported without CacheType")
            assert "{NAME}" not in sys.modules

        for _ in range(1000):  # until the interpreter's own caches have settled
            attempt()
        grown = []
        for _ in range(3):  # drift comes and goes; a block lost per retry is 1000 a round
            gc.collect()  # a failed import leaves cycles: counted only once collected
            before = sys.getallocatedblocks()
            for _ in range(1000):
                attempt()
            gc.collect()
            grown.append(sys.getallocatedblocks() - before)
        print(min(grown) < 50)
        sys.modules["quor_ui.core.enums"] = real
        import {NAME} as m
        print(m.CacheType is real.CacheType, m.Cache().get(m.CacheType.LAYOUT))
        """).stdout.splitlines()
    assert out == ["True", "True None"]


def test_cachetype_lookup_compares_what_a_dict_lookup_compares():
    # A key that is no str, hashed like 'CacheType' and probed before it: every
    # look-up of the name must ask it, however the module remembers the name.
    out = run_fresh(f"""
        from quor_ui.core.enums import CacheType as K
        import {NAME} as m

        class Odd:
            calls = 0
            def __hash__(self):
                return hash("CacheType")
            def __eq__(self, other):
                Odd.calls += 1
                return False

        c = m.Cache()
        c.set(K.THEME, "t")
        ops = [lambda: c[K.THEME], lambda: c.THEME, lambda: hasattr(c, "NOPE"),
               lambda: c.clear_selected(whitelist=None), lambda: c.__reduce__(),
               lambda: c.get(K.THEME)]
        for op in ops:  # remembered while the namespace holds only str keys
            op(); op()
        g = vars(m)
        real = g.pop("CacheType")
        g[Odd()] = None
        g["CacheType"] = real

        def asked(op):
            Odd.calls = 0
            op()
            return Odd.calls

        per_lookup = asked(lambda: g["CacheType"])
        print(per_lookup > 0)
        print([[asked(op) // per_lookup for _ in range(3)] for op in ops])
        """).stdout.splitlines()
    # cache.NAME looks CacheType up again after asking whether NAME is a member
    assert out == ["True", str([[1] * 3, [2] * 3, [1] * 3, [1] * 3, [1] * 3, [0] * 3])]


def test_cachetype_from_submodule_entry():
    assert run_fresh(f"""
        import sys, types
        sys.modules["quor_ui.core.enums"] = types.ModuleType("quor_ui.core.enums")
        marker = sys.modules["quor_ui.core.enums.CacheType"] = types.SimpleNamespace()
        import {NAME} as m
        print(m.CacheType is marker)
        """).stdout.splitlines() == ["True"]


PY313 = {"python": "python3.13", "env": {"PYENV_VERSION": "3.13.0"}}


def python313_missing():
    try:
        return run_fresh("pass", check=False, **PY313).returncode != 0
    except OSError:
        return True


@pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="loads this 3.12 build into 3.13")
@pytest.mark.skipif(python313_missing(), reason="python3.13 is not available")
@pytest.mark.parametrize("flags", [(), ("-W", "error::RuntimeWarning")])
def test_version_mismatch_warns(mod, flags):
    out = run_fresh(f"""
        import importlib.machinery, importlib.util, warnings
        loader = importlib.machinery.ExtensionFileLoader("{NAME}", {mod.__file__!r})
        spec = importlib.util.spec_from_file_location("{NAME}", {mod.__file__!r}, loader=loader)
        with warnings.catch_warnings(record=True) as seen:
            try:
                m = importlib.util.module_from_spec(spec)
                loader.exec_module(m)
                print("loaded", m.Cache.__name__)
            except RuntimeWarning as e:
                print("failed", e)
        for w in seen:
            print(w.category.__name__, w.message)
        """, *flags, **PY313).stdout.splitlines()
    text = (f"compile time Python version 3.12 of module '{NAME}' "
            "does not match runtime version 3.13")
    assert out == (["failed " + text] if flags else ["loaded Cache", "RuntimeWarning " + text])
