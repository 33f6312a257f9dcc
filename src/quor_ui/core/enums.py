"""Application-wide enumerations.

Applications define their cache keys here: each ``CacheType`` member names one
slot of a ``quor_ui.fast.quorcache.quorcache.Cache``, and its ``value`` is the
slot index (0 to 31). Members with equal values share a slot.
"""

import enum


class CacheType(enum.Enum):
    """Keys of the 32-slot ``Cache``; the value of each member is its slot."""

    THEME = 0
    STYLESHEET = 1
    FONT_METRICS = 2
    LAYOUT = 3
    ICONS = 4
    TRANSLATIONS = 5
    SETTINGS = 6
    WIDGET_TREE = 7
