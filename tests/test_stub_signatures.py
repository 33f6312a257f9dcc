"""The stub check (tests/typing/stub_signatures.py) passes the shipped stub and fails wrong ones."""
import importlib.util
import os

import pytest

import quor_ui.fast.quorcache as package
from quor_ui.fast.quorcache import quorcache

_spec = importlib.util.spec_from_file_location(
    "stub_signatures", os.path.join(os.path.dirname(__file__), "typing", "stub_signatures.py"))
checker = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(checker)
STUB = os.path.join(os.path.dirname(package.__file__), "quorcache.pyi")


def test_the_shipped_stub_agrees_with_the_module():
    assert checker.check(STUB, quorcache) == []


@pytest.mark.parametrize("where, old, new", [
    ("Cache.get", "get(self, /, type: _Key)", "get(self, /, key: _Key)"),
    ("Cache.get", "get(self, /, type: _Key)", "get(self, type: _Key, /)"),
    ("Cache.get", "get(self, /, type: _Key)", "get(self, /, *, type: _Key)"),
    ("Cache.get", "get(self, /, type: _Key)", "get(self, /, type: _Key, extra: int = 0)"),
    ("Cache.clear", "clear(self, /)", "clear(self)"),
    ("Cache.clear_selected", "self, /, blacklist: list[_Key] | None = None,",
     "self, /, blacklist: list[_Key] | None,"),
    # stubtest lets these three through: it ignores dunder methods' names and their '/'
    ("Cache.__deepcopy__", "__deepcopy__(self, /, memo: object)",
     "__deepcopy__(self, /, m: object)"),
    ("Cache.__deepcopy__", "__deepcopy__(self, /, memo: object)",
     "__deepcopy__(self, memo: object, /)"),
    ("Cache.__setstate__", "__setstate__(self, /, __pyx_state: tuple[Any, ...])",
     "__setstate__(self, /, state: tuple[Any, ...])"),
    ("Cache.WIDGET_TREE", "    WIDGET_TREE: Any\n", ""),
    ("Cache.THEMEE", "    THEME: Any\n", "    THEME: Any\n    THEMEE: Any\n"),
    ("__pyx_unpickle_Cache", "__pyx_checksum: SupportsInt", "__pyx_sum: SupportsInt"),
    ("__pyx_unpickle_Cache", "__pyx_state: tuple[Any, ...] | None\n",
     "__pyx_state: tuple[Any, ...] | None, /\n"),
    ("Cache.copy", "def copy(self, /)", "def copy2(self, /)"),
])
def test_a_wrong_parameter_fails_the_check(tmp_path, where, old, new):
    with open(STUB, encoding="utf-8") as f:
        text = f.read()
    assert text.count(old) == 1
    wrong = tmp_path / "quorcache.pyi"
    wrong.write_text(text.replace(old, new), encoding="utf-8")
    problems = checker.check(str(wrong), quorcache)
    assert {p.split(":")[0].rstrip("2") for p in problems} == {where}, problems
