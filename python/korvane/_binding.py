"""The package's binding to the driver library: every C function the package calls is declared and
called here, so that a move to other C functions of the driver changes this module (and the
layouts the generator writes) only. It holds the session's own calls (open, close, statuses,
identity and error queue, direct I/O), the names of a collection's items, and the factories that
turn a catalogue row into a property (an attribute by its identifier) or a method (a C function
by its parameter roles).

Today these are the IVI-C functions (`Korvane_*`, ViSession handles, attribute identifiers).
"""
from __future__ import annotations

import collections
import ctypes
import enum
import inspect
import operator
import warnings
from typing import Any, Callable

import numpy

from . import _library
from ._errors import INSTRUMENT_STATUS, Error, ErrorQueryResult, InstrumentError, KorvaneWarning
from ._waveform import Waveform

STRING_BUFFER = 256  # first try; a longer text is read again at the size the driver asks for
MESSAGE_BUFFER = 256  # the fixed size of the IVI-C message outputs
# A direct read takes the instrument's whole reply in one call, into a buffer this large.
READ_BUFFER = 64 << 20
# Entries read off the instrument's queue for one exception: a queue that never empties (a
# misbehaving instrument) must not hold the caller forever.
MAX_QUEUE_ENTRIES = 32
UNEXPECTED_RESPONSE = 0xBFFA0059 - (1 << 32)

_C: dict[str, Any] = {
    "ViInt16": ctypes.c_int16, "ViInt32": ctypes.c_int32, "ViInt64": ctypes.c_int64,
    "ViReal64": ctypes.c_double, "ViBoolean": ctypes.c_uint16, "ViConstString": ctypes.c_char_p,
    "ViByte": ctypes.c_uint8}
_NUMPY: dict[str, Any] = {"ViReal64": numpy.float64, "ViInt16": numpy.int16, "ViInt32": numpy.int32,
                          "ViByte": numpy.uint8}
_KIND_C = {"I32": ctypes.c_int32, "I64": ctypes.c_int64, "R64": ctypes.c_double, "B": ctypes.c_uint16}


def _declare(lib: Any) -> Any:
    """Argument types of the functions this module calls."""
    vi, s, i32, attr, p = ctypes.c_uint32, ctypes.c_char_p, ctypes.c_int32, ctypes.c_uint32, ctypes.c_void_p
    table: dict[str, tuple[Any, ...]] = {
        "Korvane_InitWithOptions": (s, ctypes.c_uint16, ctypes.c_uint16, s, p),
        "Korvane_close": (vi,), "Korvane_GetError": (vi, p, i32, p), "Korvane_ClearError": (vi,),
        "Korvane_error_message": (vi, i32, p), "Korvane_error_query": (vi, p, p), "Korvane_reset": (vi,),
        "Korvane_SystemWriteString": (vi, s), "Korvane_SystemWriteBytes": (vi, i32, p),
        "Korvane_viRead": (vi, ctypes.c_int64, p, p),
    }
    for t, c in (("Int32", i32), ("Int64", ctypes.c_int64), ("Real64", ctypes.c_double),
                 ("Boolean", ctypes.c_uint16)):
        table[f"Korvane_GetAttributeVi{t}"] = (vi, s, attr, p)
        table[f"Korvane_SetAttributeVi{t}"] = (vi, s, attr, c)
    table["Korvane_GetAttributeViString"] = (vi, s, attr, i32, p)
    table["Korvane_SetAttributeViString"] = (vi, s, attr, s)
    for name, args in table.items():
        f = getattr(lib, name)
        f.argtypes = args
        f.restype = ctypes.c_int32
    return lib


def load() -> Any:
    """The driver library with the argument types of this module's functions declared."""
    lib = _library.load()
    if not getattr(lib, "korvane_declared", False):
        _declare(lib)
        lib.korvane_declared = True
    return lib


def message(lib: Any, vi: int, status: int) -> str:
    """The driver's text for a status."""
    text = ctypes.create_string_buffer(MESSAGE_BUFFER)
    lib.Korvane_error_message(vi, status, text)
    return text.value.decode("utf-8", "replace") or "(no description)"


class Session:
    """One driver session: its handle and the library. Every node of a scope shares it."""

    def __init__(self) -> None:
        self.lib: Any = load()
        self.vi = 0
        self.names: dict[str, tuple[str, ...]] = {}  # collection name function -> names, read once
        L = self.lib
        # Looked up once: an attribute access costs one dictionary lookup and one C call.
        self.get: dict[str, Callable[..., int]] = {
            "I32": L.Korvane_GetAttributeViInt32, "I64": L.Korvane_GetAttributeViInt64,
            "R64": L.Korvane_GetAttributeViReal64, "B": L.Korvane_GetAttributeViBoolean,
            "S": L.Korvane_GetAttributeViString}
        self.set: dict[str, Callable[..., int]] = {
            "I32": L.Korvane_SetAttributeViInt32, "I64": L.Korvane_SetAttributeViInt64,
            "R64": L.Korvane_SetAttributeViReal64, "B": L.Korvane_SetAttributeViBoolean,
            "S": L.Korvane_SetAttributeViString}

    # ---- the session's life

    def open(self, resource_name: str, id_query: bool, reset: bool, options: str) -> None:
        vi = ctypes.c_uint32(0)
        self.lib.Korvane_ClearError(0)  # what a failure leaves on the thread is this call's alone
        status = self.lib.Korvane_InitWithOptions(resource_name.encode("utf-8"), 1 if id_query else 0,
                                                  1 if reset else 0, options.encode("utf-8"), ctypes.byref(vi))
        if status < 0:
            raise self.fail(status, "Korvane_InitWithOptions")
        self.vi = vi.value

    def close(self) -> None:
        vi, self.vi = self.vi, 0
        if vi:
            self.check(self.lib.Korvane_close(vi), "Korvane_close")

    # ---- statuses

    def fail(self, status: int, function: str) -> Error:
        """The exception for a negative status, with the description the driver stored for it
        and, when the instrument refused something, the entries of its error queue."""
        code = ctypes.c_int32(0)
        text = ctypes.create_string_buffer(1024)
        description = ""
        if self.lib.Korvane_GetError(self.vi, ctypes.byref(code), len(text), text) >= 0 and code.value == status:
            description = text.value.decode("utf-8", "replace")
        # Read once: the next failure must not find this one's text (the thread keeps a copy).
        self.lib.Korvane_ClearError(self.vi)
        if self.vi:
            self.lib.Korvane_ClearError(0)
        if not description:
            description = message(self.lib, self.vi, status)
        if status == INSTRUMENT_STATUS and self.vi:
            found = self.error_query_all()
            if found:
                description += " The instrument reports: " + "; ".join(f"{e.code} {e.message}" for e in found)
            return InstrumentError(status, description, function, found)
        return Error(status, description, function)

    def check(self, status: int, function: str) -> None:
        """Raises for a negative status, warns for a positive one."""
        if status < 0:
            raise self.fail(status, function)
        if status > 0:
            warnings.warn(KorvaneWarning(f"{function}: 0x{status:08X} {message(self.lib, self.vi, status)}"),
                          stacklevel=3)

    # ---- the items of a repeated capability

    def item_names(self, count_id: int | None, name_function: str) -> tuple[str, ...]:
        """The names of a collection's items, as the driver reports them (read once a session)."""
        names = self.names.get(name_function)
        if names is None:
            count = ctypes.c_int32(0)
            self.check(self.get["I32"](self.vi, b"", count_id, ctypes.byref(count)), "Count")
            fn = getattr(self.lib, name_function)
            found = []
            for k in range(1, count.value + 1):
                buf = ctypes.create_string_buffer(STRING_BUFFER)
                st = fn(ctypes.c_uint32(self.vi), ctypes.c_int32(k), ctypes.c_int32(len(buf)), buf)
                if st > len(buf):
                    buf = ctypes.create_string_buffer(st)
                    st = fn(ctypes.c_uint32(self.vi), ctypes.c_int32(k), ctypes.c_int32(len(buf)), buf)
                self.check(min(st, 0), name_function)
                found.append(buf.value.decode("utf-8", "replace"))
            self.names[name_function] = names = tuple(found)
        return names

    # ---- attributes by identifier

    def get_value(self, kind: str, attr_id: int, rc: bytes = b"") -> Any:
        """An attribute's value: kind I32, I64, R64, B or S."""
        if kind == "S":
            buf = ctypes.create_string_buffer(STRING_BUFFER)
            st = self.get["S"](self.vi, rc, attr_id, STRING_BUFFER, buf)
            if st > STRING_BUFFER:
                buf = ctypes.create_string_buffer(st)
                st = self.get["S"](self.vi, rc, attr_id, st, buf)
            if st < 0:
                raise self.fail(st, f"attribute {attr_id}")
            return buf.value.decode("utf-8", "replace")
        v: Any = _KIND_C[kind]()
        self.check(self.get[kind](self.vi, rc, attr_id, ctypes.byref(v)), f"attribute {attr_id}")
        return bool(v.value) if kind == "B" else v.value

    def set_value(self, kind: str, attr_id: int, value: Any, rc: bytes = b"") -> None:
        if kind == "S":
            value = str(value).encode("utf-8")
        self.check(self.set[kind](self.vi, rc, attr_id, value), f"attribute {attr_id}")

    # ---- the instrument's error queue and reset

    def error_query(self) -> ErrorQueryResult | None:
        code = ctypes.c_int32(0)
        text = ctypes.create_string_buffer(MESSAGE_BUFFER)
        status = self.lib.Korvane_error_query(self.vi, ctypes.byref(code), text)
        if status < 0:
            raise self.fail(status, "Korvane_error_query")
        if code.value == 0:
            return None
        return ErrorQueryResult(code.value, text.value.decode("utf-8", "replace"))

    def error_query_all(self) -> tuple[ErrorQueryResult, ...]:
        found: list[ErrorQueryResult] = []
        while len(found) < MAX_QUEUE_ENTRIES:
            entry = self.error_query()
            if entry is None:
                break
            found.append(entry)
        return tuple(found)

    def reset(self) -> None:
        self.check(self.lib.Korvane_reset(self.vi), "Korvane_reset")

    # ---- direct I/O

    def write_string(self, data: str) -> None:
        self.check(self.lib.Korvane_SystemWriteString(self.vi, data.encode("utf-8")), "Korvane_SystemWriteString")

    def read_message(self) -> bytes:
        """One whole reply of the instrument (the driver reads up to its end)."""
        # numpy leaves the pages untouched until written: a large buffer costs what the reply fills.
        buf = numpy.empty(READ_BUFFER, numpy.uint8)
        total = ctypes.c_int64(0)
        self.check(self.lib.Korvane_viRead(self.vi, READ_BUFFER, buf.ctypes.data, ctypes.byref(total)),
                   "Korvane_viRead")
        if total.value > READ_BUFFER:
            # The reply is read and gone; a cut one would pass for a whole one.
            raise Error(UNEXPECTED_RESPONSE, f"the reply of {total.value} bytes is longer than a direct read "
                        f"takes ({READ_BUFFER}); the rest of it is lost", "Korvane_viRead")
        return buf[:total.value].tobytes()

    def write_bytes(self, data: bytes) -> None:
        buf = (ctypes.c_uint8 * len(data)).from_buffer_copy(data)
        self.check(self.lib.Korvane_SystemWriteBytes(self.vi, len(data), buf), "Korvane_SystemWriteBytes")


# ---------------------------------------------------------------------------------------------
# The object model's properties: one IVI-C attribute identifier each.


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
                buf = ctypes.create_string_buffer(STRING_BUFFER)
                st = s.get["S"](s.vi, self._rc, attr_id, STRING_BUFFER, buf)
                if st > STRING_BUFFER:
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


def _name(attr_id: int, node: Any) -> str:
    for c in type(node).__mro__:
        for n, v in vars(c).items():
            if isinstance(v, property) and v.__doc__ and f"({attr_id})" in v.__doc__:
                return n
    return str(attr_id)


# ---------------------------------------------------------------------------------------------
# The object model's methods: one IVI-C function each, its parameters placed by their roles.


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
                    cargs.append(sizes.get(name, STRING_BUFFER))
                elif role in ("sout", "sfix"):
                    size = sizes.get(name, STRING_BUFFER)
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
                sizes.update({r[2]: max(st, STRING_BUFFER) for r in layout if r[0] == "sbuf"})
                sizes.update({r[2]: max(st, STRING_BUFFER) for r in layout if r[0] == "sout"})
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
