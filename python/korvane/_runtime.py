"""What the generated object model is made of: nodes, collections, and the factories that turn a
catalogue row into a property (an attribute by its IVI-C identifier) or a method (an IVI-C
function by its parameter roles). Every call goes through the C functions of the driver; a
negative status becomes an Error with the driver's own description."""
import collections
import ctypes
import enum
import inspect
import operator
import warnings
from collections.abc import Mapping

import numpy

from . import _library

_C = {"ViInt16": ctypes.c_int16, "ViInt32": ctypes.c_int32, "ViInt64": ctypes.c_int64,
      "ViReal64": ctypes.c_double, "ViBoolean": ctypes.c_uint16, "ViConstString": ctypes.c_char_p,
      "ViByte": ctypes.c_uint8}
_NUMPY = {"ViReal64": numpy.float64, "ViInt16": numpy.int16, "ViInt32": numpy.int32, "ViByte": numpy.uint8}
_STRING_BUFFER = 256  # first try; a longer text is read again at the size the driver asks for


INSTRUMENT_STATUS = -0x4005FFFF  # 0xBFFA0001: the instrument's error queue was not empty


class Error(Exception):
    """A failed driver call: `status` is the IVI-C status (negative), `description` the driver's
    text for it; for an instrument's refusal it ends with the instrument's own messages, also
    in `instrument_errors` as (code, text) pairs."""

    instrument_errors = ()

    def __init__(self, status, description, function=""):
        self.status = status
        self.description = description
        self.function = function
        super().__init__(f"{function + ': ' if function else ''}0x{status & 0xFFFFFFFF:08X} {description}")

    @property
    def code(self):
        """The status as the unsigned 32-bit number the C header writes (0xBFFA...)."""
        return self.status & 0xFFFFFFFF


class KorvaneWarning(UserWarning):
    """A call that succeeded with a warning status (positive)."""


class Session:
    """One driver session: its handle and the library. Nodes share it."""

    def __init__(self, lib):
        self.lib = lib
        self.vi = 0
        self.names = {}  # collection name function -> names, read once a session
        L = lib
        self.get = {"I32": L.Korvane_GetAttributeViInt32, "I64": L.Korvane_GetAttributeViInt64,
                    "R64": L.Korvane_GetAttributeViReal64, "B": L.Korvane_GetAttributeViBoolean,
                    "S": L.Korvane_GetAttributeViString}
        self.set = {"I32": L.Korvane_SetAttributeViInt32, "I64": L.Korvane_SetAttributeViInt64,
                    "R64": L.Korvane_SetAttributeViReal64, "B": L.Korvane_SetAttributeViBoolean,
                    "S": L.Korvane_SetAttributeViString}

    def fail(self, status, function):
        """The Error for a negative status, with the description the driver stored for it."""
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
        found = []
        if status == INSTRUMENT_STATUS and self.vi:
            # The instrument refused something: its own words are in its error queue.
            code, text = ctypes.c_int32(0), ctypes.create_string_buffer(256)
            while len(found) < 10 and self.lib.Korvane_error_query(self.vi, ctypes.byref(code), text) >= 0 \
                    and code.value != 0:
                found.append((code.value, text.value.decode("utf-8", "replace")))
            if found:
                description += " The instrument reports: " + "; ".join(f"{c} {t}" for c, t in found)
        error = Error(status, description, function)
        error.instrument_errors = found
        return error

    def check(self, status, function):
        if status < 0:
            raise self.fail(status, function)
        if status > 0:
            warnings.warn(KorvaneWarning(f"{function}: 0x{status:08X} {message(self.lib, self.vi, status)}"),
                          stacklevel=3)


def message(lib, vi, status):
    text = ctypes.create_string_buffer(256)
    lib.Korvane_error_message(vi, status, text)
    return text.value.decode("utf-8", "replace") or "(no description)"


def declare(lib):
    """Argument types of the session functions and the attribute accessors."""
    vi, s, i32, attr = ctypes.c_uint32, ctypes.c_char_p, ctypes.c_int32, ctypes.c_uint32
    p = ctypes.c_void_p
    table = {
        "Korvane_InitWithOptions": (s, ctypes.c_uint16, ctypes.c_uint16, s, p),
        "Korvane_close": (vi,), "Korvane_GetError": (vi, p, i32, p), "Korvane_ClearError": (vi,),
        "Korvane_error_message": (vi, i32, p), "Korvane_error_query": (vi, p, p),
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


# ---------------------------------------------------------------------------------------------
# Nodes.


class Node:
    """A place in the object tree: its session and, below a repeated capability, the item name."""
    __slots__ = ("_s", "_rc", "_kids")

    def __init__(self, session, rc=b""):
        self._s = session
        self._rc = rc
        self._kids = {}

    def __repr__(self):
        return f"<{type(self).__doc__.split(' (')[0].replace('[name]', f'[{self._rc.decode()!r}]')}>"

    def __dir__(self):
        return sorted(n for c in type(self).__mro__ for n in vars(c) if not n.startswith("_"))


class child:
    """A node below another, made on first use and kept."""

    def __init__(self, cls):
        self.cls = cls
        self.name = None

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, obj, owner=None):
        if obj is None:
            return self
        node = obj._kids.get(self.name)
        if node is None:
            node = obj._kids[self.name] = self.cls(obj._s, obj._rc)
        return node

    def __set__(self, obj, value):
        raise AttributeError(f"{self.name} is a part of the instrument, not a value")


class Collection(Node, Mapping):
    """A repeated capability: a mapping from the instrument's names to its items."""
    __slots__ = ()
    _item = Node
    _count_id = None
    _name_function = ""

    def names(self):
        """The names, as the driver reports them (read once a session)."""
        names = self._s.names.get(self._name_function)
        if names is None:
            s = self._s
            count = ctypes.c_int32(0)
            s.check(s.get["I32"](s.vi, b"", self._count_id, ctypes.byref(count)), "Count")
            fn = getattr(s.lib, self._name_function)
            names = []
            for k in range(1, count.value + 1):
                buf = ctypes.create_string_buffer(_STRING_BUFFER)
                st = fn(ctypes.c_uint32(s.vi), ctypes.c_int32(k), ctypes.c_int32(len(buf)), buf)
                if st > len(buf):
                    buf = ctypes.create_string_buffer(st)
                    st = fn(ctypes.c_uint32(s.vi), ctypes.c_int32(k), ctypes.c_int32(len(buf)), buf)
                s.check(min(st, 0), self._name_function)
                names.append(buf.value.decode("utf-8", "replace"))
            s.names[self._name_function] = names = tuple(names)
        return names

    def __getitem__(self, name):
        item = self._kids.get(name)
        if item is None:
            if name not in self.names():
                raise KeyError(f"{name!r}: valid names are {', '.join(self.names()) or '(none)'}")
            item = self._kids[name] = self._item(self._s, name.encode())
        return item

    def __iter__(self):
        return iter(self.names())

    def __len__(self):
        return len(self.names())

    def __repr__(self):
        return f"<{type(self).__doc__.split(' (')[0]}: {', '.join(self.names())}>"


# ---------------------------------------------------------------------------------------------
# Attributes.


def coerce_enum(cls, value):
    """An enumeration's value from a member, a number or a member name (any case)."""
    if isinstance(value, str):
        key = value.upper()
        for m in cls:
            if m.name == key or m.name.replace("_", "") == key.replace("_", ""):
                return int(m)
        raise ValueError(f"{value!r} is not a {cls.__name__}: {', '.join(m.name for m in cls)}")
    return operator.index(value)


def as_enum(cls, value):
    try:
        return cls(value)
    except ValueError:
        return value  # a value the catalogue does not name stays a number


def attribute(attr_id, kind, access, enum_cls, doc):
    """A property over one IVI-C attribute identifier."""
    fget = fset = None
    if "R" in access:
        if kind == "S":
            def fget(self):
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
            ctype = {"I32": ctypes.c_int32, "I64": ctypes.c_int64, "R64": ctypes.c_double, "B": ctypes.c_uint16}[kind]
            convert = bool if kind == "B" else None

            def fget(self):
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
            def prepare(value):
                if not isinstance(value, str):
                    raise TypeError(f"a text is expected, not {type(value).__name__}")
                return value.encode("utf-8")
        elif kind == "R64":
            prepare = float
        elif kind == "B":
            prepare = bool
        elif enum_cls is not None:
            def prepare(value):
                return coerce_enum(enum_cls, value)
        else:
            prepare = operator.index

        def fset(self, value):
            s = self._s
            st = s.set[kind](s.vi, self._rc, attr_id, prepare(value))
            if st:
                s.check(st, _name(attr_id, self))
    return property(fget, fset, None, doc)


def _name(attr_id, node):
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

    def __init__(self, y, x0, dx):
        self.y, self.x0, self.dx = y, x0, dx

    @property
    def t(self):
        return self.x0 + self.dx * numpy.arange(len(self.y), dtype=numpy.float64)

    def __len__(self):
        return len(self.y)

    def __array__(self, dtype=None, copy=None):
        return self.y if dtype is None else self.y.astype(dtype)

    def __repr__(self):
        return f"Waveform({len(self.y)} points, x0={self.x0:g}, dx={self.dx:g})"


def _in(ctype, enum_cls):
    if ctype == "ViConstString":
        return lambda v: v.encode("utf-8") if isinstance(v, str) else v
    if ctype == "ViReal64":
        return float
    if ctype == "ViBoolean":
        return lambda v: 1 if v else 0
    if enum_cls is not None:
        return lambda v: coerce_enum(enum_cls, v)
    return operator.index


# A waveform read without a point count reads the whole record.
RECORD_LENGTH = "KORVANE_ATTR_HORZ_RECORD_LENGTH"


def function(cname, layout, waveform, doc):
    """A method over one IVI-C function. `layout` holds one (role, C type, name, enumeration,
    default) per C parameter after the session; see tools/codegen/gen_python.py."""
    from . import _generated
    enums = {r[2]: getattr(_generated, r[3]) for r in layout if r[3]}
    params = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_ONLY)]
    outs = []
    for role, ctype, name, _, default in layout:
        if role in ("in", "ain", "fill"):
            params.append(inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                            default=inspect.Parameter.empty if default is None else default))
        elif role in ("out", "sout", "sfix", "aout"):
            outs.append(name)
        if role == "fill":
            outs.append(name)
    # Params with defaults after the others: the max time comes last among the inputs.
    params[1:] = sorted(params[1:], key=lambda p: p.default is not inspect.Parameter.empty)
    counts = [r for r in layout if r[0] == "count"]
    arrays_out = [r for r in layout if r[0] == "aout"]
    if counts and not any(r[0] == "fill" for r in layout):
        name = counts[0][2]
        count = inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                  default=None if waveform else inspect.Parameter.empty)
        if waveform:  # read_waveform(1000) means points, as the C function's count comes first
            params.insert(next((k for k, p in enumerate(params) if p.default is not inspect.Parameter.empty),
                               len(params)), count)
        else:
            params.append(count)
        if len(arrays_out) == 1:
            params.append(inspect.Parameter("out", inspect.Parameter.KEYWORD_ONLY, default=None))
    signature = inspect.Signature(params)
    title = "".join(w[:1].upper() + w[1:] for w in cname[len("Korvane_"):].split("_"))
    result = collections.namedtuple(title, outs) if len(outs) > 1 else None
    converters = {r[2]: _in(r[1], enums.get(r[2])) for r in layout if r[0] == "in"}
    state = {}

    def c_function(lib):
        f = state.get("f")
        if f is None:
            f = getattr(lib, cname)
            types = [ctypes.c_uint32]
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

    def method(*args, **kwargs):
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        a = bound.arguments
        node = a["self"]
        s = node._s
        f = c_function(s.lib)
        out_array = a.get("out")
        n = None
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
        sizes = {}
        while True:
            cargs, keep, arrays, scalars, strings = [s.vi], [], {}, {}, {}
            actual = None
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
        values = {}
        for role, ctype, name, e, _ in layout:
            if role == "out":
                v = scalars[name].value
                values[name] = bool(v) if ctype == "ViBoolean" else as_enum(enums[name], v) if e else v
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

    method.__signature__ = signature
    method.__name__ = cname
    method.__doc__ = doc + _returns(outs, waveform, arrays_out)
    return method


def _returns(outs, waveform, arrays_out):
    if waveform:
        return "\n\nReturns a Waveform" + (" for each of " + ", ".join(r[2] for r in arrays_out) if len(arrays_out) > 1 else "") + \
            " (y, t, x0, dx); the samples are written by the driver straight into the array."
    if not outs:
        return ""
    return "\n\nReturns " + (outs[0] if len(outs) == 1 else "(" + ", ".join(outs) + ")") + "."
