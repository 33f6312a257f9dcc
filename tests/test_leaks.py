"""Every operation, on success and on each way it fails, leaves no block and no reference behind."""
import enum

import pytest

import leakcheck
from conftest import Key
from ops import LST, OPERATIONS, A, K, V, full
from quor_ui.fast.quorcache import quorcache


@pytest.mark.parametrize("case", OPERATIONS)
def test_operation_leaves_nothing_behind(case):
    make, op, raises = OPERATIONS[case]
    c = make() if make else None
    leakcheck.check(lambda: op(c), V, K, A, LST, raises=raises)


def test_missing_cache_type_name_leaves_nothing_behind(monkeypatch):
    monkeypatch.delattr(quorcache, "CacheType")
    c = full()
    for op in (lambda: c.clear_selected(), lambda: c[A], lambda: c.LAYOUT):
        leakcheck.check(op, V, raises=NameError, runs=leakcheck.RUNS // 10)


class Big(int):
    """No cached small int: a reference kept or lost on it shows in its count."""


@pytest.mark.parametrize("key", [Key(Big(3)), enum.Enum("BigKeys", {"A": Big(3)}).A],
                         ids=["key", "stock member"])
def test_keyed_calls_leave_the_keys_value_as_it_was(key):
    c = full()
    leakcheck.check(lambda: (c.get(key), c.set(key, V), c.get_or_set_val(key, V),
                             c.get_or_exec(key, V), c.clear_selected([key], [key])), key.value)
