"""Typed use of Cache, checked with mypy --strict against the stubs (not collected by pytest)."""
from typing import assert_type

from quor_ui.core.enums import CacheType
from quor_ui.fast.quorcache import get_include, quorcache
from quor_ui.fast.quorcache.quorcache import Cache, __pyx_unpickle_Cache


class Sub(Cache):
    pass


cache = Cache()
cache.set(type=CacheType.THEME, value="dark")
theme: str = cache.get(type=CacheType.THEME)
cache.get_or_set_val(type=CacheType.LAYOUT, value=[1])
cache.get_or_exec(type=CacheType.ICONS, func=dict)
cache.clear_selected(blacklist=[CacheType.THEME], whitelist=None)
cache.clear()
sheet = cache[CacheType.STYLESHEET], cache.FONT_METRICS
assert_type(cache.copy(), Cache)
assert_type(Sub().__deepcopy__(memo={}), Cache)
assert_type(__pyx_unpickle_Cache(Sub, 0xBD51CB4, None), Sub)
assert_type(quorcache.CacheType, type[CacheType])
assert_type(get_include(), str)
cache.__setstate__(cache.__reduce__()[2])

# Each of these must stay an error (mypy --strict reports an unused ignore otherwise).
cache.get(None)  # type: ignore[arg-type]
cache.set(CacheType.THEME)  # type: ignore[call-arg]
cache.get_or_exec(CacheType.ICONS, 5)  # type: ignore[arg-type]
cache.clear_selected(whitelist=(CacheType.THEME,))  # type: ignore[arg-type]
cache[3]  # type: ignore[index]
Cache(1)  # type: ignore[call-arg]
# The module takes these by keyword, but type checkers read a leading double underscore as
# positional-only, whatever the stub says.
cache.__setstate__(__pyx_state=cache.__reduce__()[2])  # type: ignore[call-arg]
