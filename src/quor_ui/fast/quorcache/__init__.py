"""Native 32-slot object cache: ``from quor_ui.fast.quorcache.quorcache import Cache``."""

import os

__all__ = ["get_include"]


def get_include() -> str:
    """Return the folder holding ``quorcache.h``, for the include path of a native module.

    The header declares the ``Cache`` instance record, its internal function table and
    ``QuorCache_Import``, which fetches the table from the capsule
    ``Cache.__pyx_vtable__``.
    """
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "include")
