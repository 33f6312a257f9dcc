"""Native 32-slot object cache: ``from quor_ui.fast.quorcache.quorcache import Cache``."""

import os

__all__ = ["get_cmake_dir", "get_include"]


def get_include() -> str:
    """Return the folder holding ``quorcache.h``, for the include path of a native module.

    The header declares the ``Cache`` instance record, its internal function table and
    ``QuorCache_Import``, which fetches the table from the capsule
    ``Cache.__pyx_vtable__``.
    """
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "include")


def get_cmake_dir() -> str:
    """Return the folder of the CMake package ``quorcache`` (``quorcacheConfig.cmake``).

    ``find_package(quorcache CONFIG)`` with ``quorcache_DIR`` set to it (or the folder on
    ``CMAKE_PREFIX_PATH``) gives the target ``quorcache::headers``, which carries
    ``get_include()``'s folder.
    """
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "cmake")
