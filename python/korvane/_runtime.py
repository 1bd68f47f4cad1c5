"""What the generated object model is made of: nodes, items, collections and the item accessors.
The properties and methods on them come from the factories of _binding.py, which make every C
call; a negative status becomes an Error with the driver's own description.

The generated module (_generated.py) is dynamic; its types are in _generated.pyi beside it."""
from __future__ import annotations

import enum
import operator
import re
from collections.abc import Iterator, Mapping
from typing import Any, Callable, ClassVar, Generic, TypeVar

from ._binding import Session, attribute, function
from ._errors import Error
from ._waveform import Waveform

_NUMBERED = re.compile(r"^(.*?)(\d+)$")

__all__ = ["Node", "Item", "Collection", "Waveform", "Error", "Session", "attribute", "function", "child",
           "item_accessor"]


# ---------------------------------------------------------------------------------------------
# Nodes.


class Node:
    """A place in the object tree: its session and, below a repeated capability, the item name."""
    __slots__ = ("_s", "_rc", "_kids")

    def __init__(self, session: Session, rc: bytes = b"") -> None:
        self._s = session
        self._rc = rc
        self._kids: dict[str, Any] = {}

    def __repr__(self) -> str:
        doc = type(self).__doc__ or type(self).__name__
        return f"<{doc.split(' (')[0].replace('[name]', f'[{self._rc.decode()!r}]')}>"

    def __dir__(self) -> list[str]:
        return sorted(n for c in type(self).__mro__ for n in vars(c) if not n.startswith("_"))


class Item(Node):
    """One instance of a repeated capability (a channel, a math function, ...)."""
    __slots__ = ()

    @property
    def name(self) -> str:
        """The instance's name as the driver and the instrument know it ("Channel1")."""
        return self._rc.decode("utf-8")


_N = TypeVar("_N", bound=Node)
_I = TypeVar("_I", bound=Item)


class child(Generic[_N]):
    """A node below another, made on first use and kept."""

    def __init__(self, cls: type[_N]) -> None:
        self.cls = cls
        self.name = ""

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    def __get__(self, obj: Node | None, owner: type | None = None) -> Any:
        if obj is None:
            return self
        node = obj._kids.get(self.name)
        if node is None:
            node = obj._kids[self.name] = self.cls(obj._s, obj._rc)
        return node

    def __set__(self, obj: Node, value: object) -> None:
        raise AttributeError(f"{self.name} is a part of the instrument, not a value")


class Collection(Node, Mapping[str, _I]):
    """A repeated capability: the instrument's items by name ("Channel1"), by a member of the
    collection's name enumeration, or by number (1 for "Channel1") where the names are numbered."""
    __slots__ = ()
    _item: ClassVar[type[Item]] = Item
    _count_function: ClassVar[str] = ""
    _name_function: ClassVar[str] = ""

    def names(self) -> tuple[str, ...]:
        """The names, as the driver reports them (read once a session)."""
        return self._s.item_names(self._count_function, self._name_function)

    def _name_of(self, key: str | int | enum.Enum) -> str:
        if isinstance(key, enum.Enum):
            key = key.value
        if isinstance(key, str):
            if key in self.names():
                return key
            raise KeyError(f"{key!r}: valid names are {', '.join(self.names()) or '(none)'}")
        try:
            # Anything else is refused by index() with a TypeError.
            number = operator.index(key)  # type: ignore[arg-type]
        except TypeError:
            raise TypeError(f"{type(self).__name__} is indexed by a name, a name enumeration's member "
                            f"or a number, not {type(key).__name__}") from None
        names = self.names()
        first = _NUMBERED.match(names[0]) if names else None
        if first is None:
            raise KeyError(f"{number}: these items are not numbered; valid names are {', '.join(names) or '(none)'}")
        # Numbers follow the instrument's, so a number picks the name that carries it.
        wanted = f"{first.group(1)}{number}"
        if wanted in names:
            return wanted
        numbers = [m.group(2) for n in names if (m := _NUMBERED.match(n)) and m.group(1) == first.group(1)]
        raise KeyError(f"{number}: valid numbers are {', '.join(numbers)}")

    def __getitem__(self, key: str | int | enum.Enum) -> _I:
        item: Any = self._kids.get(key) if isinstance(key, str) else None
        if item is None:
            name = self._name_of(key)
            item = self._kids.get(name)
            if item is None:
                item = self._kids[name] = self._item(self._s, name.encode())
        found: _I = item
        return found

    def __iter__(self) -> Iterator[str]:
        return iter(self.names())

    def __len__(self) -> int:
        return len(self.names())

    def __repr__(self) -> str:
        return f"<{(type(self).__doc__ or '').split(' (')[0]}: {', '.join(self.names())}>"


def item_accessor(collection: str, doc: str) -> Callable[[Node, str | int | enum.Enum], Item]:
    """The parent's `<plural>_item(key)` method: the same as `parent.<plural>[key]`."""

    def accessor(self: Node, key: str | int | enum.Enum) -> Item:
        items: Collection[Item] = getattr(self, collection)
        return items[key]

    accessor.__name__ = collection + "_item"
    accessor.__doc__ = doc
    return accessor
