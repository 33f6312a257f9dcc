"""A short tour of quor_ui's native Cache."""

import copy
import pickle

from quor_ui.core.enums import CacheType
from quor_ui.fast.quorcache.quorcache import Cache


def load_stylesheet():
    print("  (loading the stylesheet: runs once)")
    return "QWidget { color: teal; }"


def main():
    cache = Cache()
    print("a new cache has 32 empty slots:", cache.get(CacheType.THEME))

    cache.set(CacheType.THEME, {"accent": "teal"})
    print("get, subscription and attribute read the same slot:")
    print("  ", cache.get(CacheType.THEME), cache[CacheType.THEME], cache.THEME)

    print("get_or_exec calls its function only while the slot is empty:")
    for _ in range(2):
        print("  ", cache.get_or_exec(CacheType.STYLESHEET, load_stylesheet))
    print("get_or_set_val keeps what is there:",
          cache.get_or_set_val(CacheType.THEME, {"accent": "red"}))

    twin = cache.copy()
    restored = pickle.loads(pickle.dumps(cache))
    print("copies and pickles hold the same objects:",
          twin.THEME is cache.THEME, restored.THEME == cache.THEME,
          copy.deepcopy(cache).THEME is cache.THEME)

    cache.clear_selected(blacklist=[CacheType.THEME])
    print("clear_selected spares the blacklist:", cache.THEME, cache.STYLESHEET)
    cache.clear()
    print("clear empties every slot:", cache.THEME)


if __name__ == "__main__":
    main()
