"""What the generated object model is made of: nodes, collections, and the factories that turn a
catalogue row into a property (an attribute by its IVI-C identifier) or a method (an IVI-C
function by its parameter roles). Every call goes through the C functions of the driver; a
negative status becomes an Error with the driver's own description.

The generated module (_generated.py) is dynamic; its types are in _generated.pyi beside it."""
from __future__ import annotations

import collections
import ctypes
import enum
import inspect
import operator
import re
from collections.abc import Iterator, Mapping
from typing import Any, Callable, ClassVar, Generic, TypeVar

import numpy
import numpy.typing as npt

from ._binding import STRING_BUFFER as _STRING_BUFFER
from ._binding import Session
from ._errors import Error

_C: dict[str, Any] = {
    "ViInt16": ctypes.c_int16, "ViInt32": ctypes.c_int32, "ViInt64": ctypes.c_int64,
    "ViReal64": ctypes.c_double, "ViBoolean": ctypes.c_uint16, "ViConstString": ctypes.c_char_p,
    "ViByte": ctypes.c_uint8}
_NUMPY: dict[str, Any] = {"ViReal64": numpy.float64, "ViInt16": numpy.int16, "ViInt32": numpy.int32,
                          "ViByte": numpy.uint8}
_NUMBERED = re.compile(r"^(.*?)(\d+)$")

__all__ = ["Node", "Item", "Collection", "Waveform", "Error", "Session"]


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
    _count_id: ClassVar[int | None] = None
    _name_function: ClassVar[str] = ""

    def names(self) -> tuple[str, ...]:
        """The names, as the driver reports them (read once a session)."""
        names = self._s.names.get(self._name_function)
        if names is None:
            s = self._s
            count = ctypes.c_int32(0)
            s.check(s.get["I32"](s.vi, b"", self._count_id, ctypes.byref(count)), "Count")
            fn = getattr(s.lib, self._name_function)
            found = []
            for k in range(1, count.value + 1):
                buf = ctypes.create_string_buffer(_STRING_BUFFER)
                st = fn(ctypes.c_uint32(s.vi), ctypes.c_int32(k), ctypes.c_int32(len(buf)), buf)
                if st > len(buf):
                    buf = ctypes.create_string_buffer(st)
                    st = fn(ctypes.c_uint32(s.vi), ctypes.c_int32(k), ctypes.c_int32(len(buf)), buf)
                s.check(min(st, 0), self._name_function)
                found.append(buf.value.decode("utf-8", "replace"))
            s.names[self._name_function] = names = tuple(found)
        return names

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


# ---------------------------------------------------------------------------------------------
# Attributes.


def coerce_enum(cls: type[enum.IntEnum], value: Any) -> int:
    """An enumeration's value from a member, a number or a member name (any case)."""
    if isinstance(value, str):
        key = value.upper()
        for m in cls:
            if m.name == key or m.name.replace("_", "") == key.replace("_", ""):
                return int(m)
        raise ValueError(f"{value!r} is not a {cls.__name__}: {', '.join(m.name for m in cls)}")
    return operator.index(value)


def as_enum(cls: type[enum.IntEnum], value: int) -> int:
    try:
        return cls(value)
    except ValueError:
        return value  # a value the catalogue does not name stays a number


def attribute(attr_id: int, kind: str, access: str, enum_cls: type[enum.IntEnum] | None, doc: str) -> property:
    """A property over one IVI-C attribute identifier."""
    fget: Callable[[Any], Any] | None = None
    fset: Callable[[Any, Any], None] | None = None
    prepare: Callable[[Any], Any]
    if "R" in access:
        if kind == "S":
            def fget(self: Any) -> Any:
                s = self._s
                buf = ctypes.create_string_buffer(_STRING_BUFFER)
                st = s.get["S"](s.vi, self._rc, attr_id, _STRING_BUFFER, buf)
                if st > _STRING_BUFFER:
                    buf = ctypes.create_string_buffer(st)
                    st = s.get["S"](s.vi, self._rc, attr_id, st, buf)
                if st < 0:
                    raise s.fail(st, _name(attr_id, self))
                return buf.value.decode("utf-8", "replace")
        else:
            ctype: Any = {"I32": ctypes.c_int32, "I64": ctypes.c_int64, "R64": ctypes.c_double, "B": ctypes.c_uint16}[kind]
            convert = bool if kind == "B" else None

            def fget(self: Any) -> Any:
                s = self._s
                v = ctype()
                st = s.get[kind](s.vi, self._rc, attr_id, ctypes.byref(v))
                if st:
                    s.check(st, _name(attr_id, self))
                if enum_cls is not None:
                    return as_enum(enum_cls, v.value)
                return convert(v.value) if convert else v.value
    if "W" in access:
        if kind == "S":
            def prepare(value: Any) -> Any:
                if not isinstance(value, str):
                    raise TypeError(f"a text is expected, not {type(value).__name__}")
                return value.encode("utf-8")
        elif kind == "R64":
            prepare = float
        elif kind == "B":
            prepare = bool
        elif enum_cls is not None:
            members = enum_cls

            def prepare(value: Any) -> Any:
                return coerce_enum(members, value)
        else:
            prepare = operator.index

        def fset(self: Any, value: Any) -> None:
            s = self._s
            st = s.set[kind](s.vi, self._rc, attr_id, prepare(value))
            if st:
                s.check(st, _name(attr_id, self))
    return property(fget, fset, None, doc)


def _name(attr_id: int, node: Node) -> str:
    for c in type(node).__mro__:
        for n, v in vars(c).items():
            if isinstance(v, property) and v.__doc__ and f"({attr_id})" in v.__doc__:
                return n
    return str(attr_id)


# ---------------------------------------------------------------------------------------------
# Functions.


class Waveform:
    """A record: `y` the samples (a numpy array), `x0` the time of the first, `dx` the time
    between two; `t` the times of all (made on use)."""
    __slots__ = ("y", "x0", "dx")

    def __init__(self, y: npt.NDArray[Any], x0: float, dx: float) -> None:
        self.y, self.x0, self.dx = y, x0, dx

    @property
    def t(self) -> npt.NDArray[numpy.float64]:
        return self.x0 + self.dx * numpy.arange(len(self.y), dtype=numpy.float64)

    def __len__(self) -> int:
        return len(self.y)

    def __array__(self, dtype: Any = None, copy: bool | None = None) -> npt.NDArray[Any]:
        return self.y if dtype is None else self.y.astype(dtype)

    def __repr__(self) -> str:
        return f"Waveform({len(self.y)} points, x0={self.x0:g}, dx={self.dx:g})"


def _in(ctype: str, enum_cls: type[enum.IntEnum] | None) -> Callable[[Any], Any]:
    if ctype == "ViConstString":
        return lambda v: v.encode("utf-8") if isinstance(v, str) else v
    if ctype == "ViReal64":
        return float
    if ctype == "ViBoolean":
        return lambda v: 1 if v else 0
    if enum_cls is not None:
        members = enum_cls
        return lambda v: coerce_enum(members, v)
    return operator.index


# A waveform read without a point count reads the whole record.
RECORD_LENGTH = "KORVANE_ATTR_HORZ_RECORD_LENGTH"


def function(cname: str, layout: list[tuple[str, str, str, str | None, Any]], waveform: bool, doc: str,
             parameters: list[tuple[str, str, Any]]) -> Callable[..., Any]:
    """A method over one IVI-C function. `layout` holds one (role, C type, name, enumeration,
    default) per C parameter after the session, `parameters` the Python parameters after self as
    (name, "required" | "optional" | "keyword", default); see tools/codegen/gen_python.py, which
    writes the same signature into the typed stub."""
    from . import _generated
    enums = {r[2]: getattr(_generated, r[3]) for r in layout if r[3]}
    kinds = {"required": inspect.Parameter.POSITIONAL_OR_KEYWORD, "optional": inspect.Parameter.POSITIONAL_OR_KEYWORD,
             "keyword": inspect.Parameter.KEYWORD_ONLY}
    params = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_ONLY)]
    params += [inspect.Parameter(name, kinds[kind], default=inspect.Parameter.empty if kind == "required" else default)
               for name, kind, default in parameters]
    outs = []
    for role, ctype, name, _, default in layout:
        if role in ("out", "sout", "sfix", "aout", "fill"):
            outs.append(name)
    counts = [r for r in layout if r[0] == "count"]
    arrays_out = [r for r in layout if r[0] == "aout"]
    signature = inspect.Signature(params)
    title = "".join(w[:1].upper() + w[1:] for w in cname[len("Korvane_"):].split("_"))
    result: Any = collections.namedtuple(title, outs) if len(outs) > 1 else None
    converters = {r[2]: _in(r[1], enums.get(r[2])) for r in layout if r[0] == "in"}
    state: dict[str, Any] = {}

    def c_function(lib: Any) -> Any:
        f = state.get("f")
        if f is None:
            f = getattr(lib, cname)
            types: list[Any] = [ctypes.c_uint32]
            for role, ctype, _, _, _ in layout:
                if role in ("in", "count", "icount", "sbuf"):
                    types.append(ctypes.c_char_p if role == "repcap" else _C.get(ctype, ctypes.c_int32))
                elif role == "repcap":
                    types.append(ctypes.c_char_p)
                else:
                    types.append(ctypes.c_void_p)
            f.argtypes = types
            f.restype = ctypes.c_int32
            state["f"] = f
        return f

    def method(*args: Any, **kwargs: Any) -> Any:
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        a = bound.arguments
        node = a["self"]
        s = node._s
        f = c_function(s.lib)
        out_array = a.get("out")
        n: Any = None
        if counts:
            n = a.get(counts[0][2])
            if n is None and out_array is not None:
                n = len(out_array)
            if n is None and waveform:
                v = ctypes.c_int32()
                s.check(s.get["I32"](s.vi, b"", _generated.ATTRIBUTE_IDS[RECORD_LENGTH], ctypes.byref(v)), cname)
                n = v.value
            if n is None:
                fill = next(r for r in layout if r[0] == "fill")
                n = len(a[fill[2]])
            n = operator.index(n)
            if n < 0:
                raise ValueError(f"{counts[0][2]} must not be negative")
        sizes: dict[str, int] = {}
        while True:
            cargs: list[Any] = [s.vi]
            keep: list[Any] = []
            arrays: dict[str, Any] = {}
            scalars: dict[str, Any] = {}
            strings: dict[str, Any] = {}
            actual: Any = None
            for k, (role, ctype, name, _, _) in enumerate(layout):
                if role == "repcap":
                    cargs.append(node._rc)
                elif role == "in":
                    cargs.append(converters[name](a[name]))
                elif role == "count":
                    cargs.append(n)
                elif role == "aout":
                    if out_array is not None:
                        arr = out_array
                        if arr.dtype != _NUMPY[ctype] or not arr.flags.c_contiguous or not arr.flags.writeable \
                                or len(arr) < n:
                            raise ValueError(f"out must be a writable contiguous {numpy.dtype(_NUMPY[ctype])} "
                                             f"array of at least {n} elements")
                    else:
                        arr = numpy.empty(n, _NUMPY[ctype])
                    arrays[name] = arr
                    cargs.append(arr.ctypes.data)  # the driver writes straight into the array
                elif role == "fill":
                    arr = numpy.array(a[name], dtype=_NUMPY[ctype], copy=True)
                    arr.resize(n, refcheck=False)
                    arrays[name] = arr
                    cargs.append(arr.ctypes.data)
                elif role == "actual":
                    actual = ctypes.c_int32()
                    cargs.append(ctypes.byref(actual))
                elif role == "out":
                    v = _C[ctype]()
                    scalars[name] = v
                    cargs.append(ctypes.byref(v))
                elif role == "sbuf":
                    cargs.append(sizes.get(name, _STRING_BUFFER))
                elif role in ("sout", "sfix"):
                    size = sizes.get(name, _STRING_BUFFER)
                    buf = ctypes.create_string_buffer(size)
                    strings[name] = buf
                    cargs.append(buf)
                elif role == "icount":
                    data = layout[k + 1]  # the array it counts comes next
                    arr = numpy.ascontiguousarray(a[data[2]], dtype=_NUMPY[data[1]])
                    keep.append(arr)
                    cargs.append(len(arr))
                elif role == "ain":
                    cargs.append(keep[-1].ctypes.data)
            st = f(*cargs)
            if st > 0 and strings and any(r[0] == "sbuf" for r in layout):
                # A string output longer than its buffer: the status is the size it needs.
                if all(sizes.get(r[2]) == st for r in layout if r[0] == "sbuf"):
                    break
                sizes.update({r[2]: max(st, _STRING_BUFFER) for r in layout if r[0] == "sbuf"})
                sizes.update({r[2]: max(st, _STRING_BUFFER) for r in layout if r[0] == "sout"})
                continue
            s.check(st, cname)
            break
        count = actual.value if actual is not None else None
        if count is None:
            counted = [v.value for k, v in scalars.items() if "count" in k]
            count = counted[0] if counted and arrays else None
        values: dict[str, Any] = {}
        for role, ctype, name, e, _ in layout:
            if role == "out":
                got = scalars[name].value
                values[name] = bool(got) if ctype == "ViBoolean" else as_enum(enums[name], got) if e else got
            elif role in ("sout", "sfix"):
                values[name] = strings[name].value.decode("utf-8", "replace")
            elif role in ("aout", "fill"):
                arr = arrays[name]
                values[name] = arr[:count] if count is not None and count < len(arr) else arr
        if waveform:
            x0, dx = values.pop("initial_x"), values.pop("x_increment")
            waves = tuple(Waveform(values[r[2]], x0, dx) for r in arrays_out)
            return waves[0] if len(waves) == 1 else waves
        vals = [values[k] for k in outs if k in values]
        if not vals:
            return None
        return vals[0] if len(vals) == 1 else result(*vals)

    method.__signature__ = signature  # type: ignore[attr-defined]
    method.__name__ = cname
    method.__doc__ = doc
    return method
