"""Every operation, on success and on each way it fails, leaves no block and no reference behind."""
import pytest

import leakcheck
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
