"""Mistakes the stubs must catch: each line marked `# error` fails mypy --strict and pyright.

Not collected by pytest; tests/typing/expect_errors.py checks that the errors fall exactly
on the marked lines, and nowhere else.
"""
from quor_ui.core.enums import CacheType
from quor_ui.fast.quorcache.quorcache import Cache

cache = Cache()
k = CacheType.THEME
cache.clera()  # error
cache.THEMEE  # error
cache[k] = 1  # error
len(cache)  # error
theme, sheet = cache.THEME, cache.get(CacheType.STYLESHEET)
