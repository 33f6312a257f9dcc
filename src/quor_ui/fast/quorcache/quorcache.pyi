"""Native 32-slot object cache.

``Cache`` holds 32 slots, each one object or ``None`` (empty), addressed by keys: any
object whose ``value`` converts to a slot index (0 to 31), normally a ``CacheType``
member. A slot index outside 0..31, or beyond the end of a shorter slot list restored
from a pickle, raises ``IndexError`` and touches nothing.

The signatures are the module's own (``inspect.signature`` shows the same): every parameter
after a ``/`` can be passed by position or by keyword. Type checkers read a parameter whose
name starts with a double underscore as positional-only, so ``__setstate__(__pyx_state=s)``
and ``__pyx_unpickle_Cache(__pyx_type=...)``, which the module accepts, are refused by them;
no stub can say otherwise to them.
"""

from collections.abc import Callable
from typing import Any, ClassVar, Protocol, SupportsInt, TypeVar

from typing_extensions import disjoint_base

from quor_ui.core.enums import CacheType as CacheType

_C = TypeVar("_C", bound=Cache)

class _Key(Protocol):
    """A cache key: its ``value`` (an ``int``, or anything with ``__int__``) is the slot index."""

    @property
    def value(self) -> SupportsInt: ...

@disjoint_base
class Cache:
    """A fixed table of 32 slots; ``None`` in a slot means empty."""

    __pyx_vtable__: ClassVar[object]
    """Capsule without a name holding the address of the internal function table
    (``QuorCacheFunctions`` in ``quorcache.h``), for native callers."""

    # ``cache.NAME`` reads the slot of the ``CacheType`` member named ``NAME`` (through
    # ``Cache.__getattr__``, which the stub leaves out so that a misspelt name is an
    # error): one attribute per member of ``quor_ui.core.enums.CacheType``, aliases
    # included. tests/typing/stub_signatures.py fails when the two differ.
    THEME: Any
    STYLESHEET: Any
    FONT_METRICS: Any
    LAYOUT: Any
    ICONS: Any
    TRANSLATIONS: Any
    SETTINGS: Any
    WIDGET_TREE: Any

    def __init__(self, /) -> None:
        """Give the cache a fresh list of 32 empty slots (again, if called again)."""

    def clear(self, /) -> None:
        """Empty all 32 slots."""

    def clear_selected(
        self, /, blacklist: list[_Key] | None = None, whitelist: list[_Key] | None = None
    ) -> None:
        """Empty the slots that some ``whitelist`` key names and no ``blacklist`` key does.

        An absent or empty ``whitelist`` means the slots of all ``CacheType`` members.
        Keys whose index lies outside 0..31 are ignored. Both must be exactly lists.
        """

    def get(self, /, type: _Key) -> Any:
        """Return the object in ``type``'s slot, ``None`` if it is empty."""

    def set(self, /, type: _Key, value: object) -> None:
        """Store ``value`` in ``type``'s slot; ``None`` empties it."""

    def get_or_set_val(self, /, type: _Key, value: object) -> Any:
        """Return the slot's object, storing ``value`` first if the slot is empty."""

    def get_or_exec(self, /, type: _Key, func: Callable[[], object]) -> Any:
        """Return the slot's object, storing ``func()`` first if the slot is empty.

        ``func`` is called with no arguments on a miss only; a ``None`` result leaves the
        slot empty.
        """

    def __getitem__(self, key: CacheType, /) -> Any:
        """``cache[member]``: the slot of a ``CacheType`` member (TypeError for other keys)."""

    def copy(self, /) -> Cache:
        """Return a new ``Cache`` (never a subclass) with a new slot list of the same objects."""

    def __deepcopy__(self, /, memo: object) -> Cache:
        """Return ``self.copy()``: the slot objects are shared, not copied; ``memo`` is unused."""

    def __reduce__(self, /) -> tuple[Any, ...]:
        """Return ``(__pyx_unpickle_Cache, (type(self), 198515892, None), state)``.

        The state is ``(slot_list,)``, plus the instance ``__dict__`` of a subclass
        instance when it is not empty; without a slot list and such a dictionary the
        value is ``(__pyx_unpickle_Cache, (type(self), 198515892, (None,)))``.
        """

    def __setstate__(self, /, __pyx_state: tuple[Any, ...]) -> None:
        """Install the state's slot list itself (no copy), then merge its dictionary, if any."""

def __pyx_unpickle_Cache(
    __pyx_type: type[_C], __pyx_checksum: SupportsInt, __pyx_state: tuple[Any, ...] | None
) -> _C:
    """Rebuild a ``__pyx_type`` instance without ``__init__``, then apply ``__pyx_state``.

    Accepts the format checksums 0xbd51cb4, 0xe95c4d5 and 0xc883660; any other raises
    ``pickle.PickleError``.
    """

__test__: dict[str, Any]
