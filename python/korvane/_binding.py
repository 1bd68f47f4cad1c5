"""The package's binding to the driver library: every C function the package calls by name
outside the generated object model is declared and called here, so that a move to other C
functions of the driver changes this module (and the generator's layouts) only.

Today these are the IVI-C functions (`Korvane_*`, ViSession handles, attribute identifiers).
"""
from __future__ import annotations

import ctypes
import warnings
from typing import Any, Callable

import numpy

from . import _library
from ._errors import INSTRUMENT_STATUS, Error, ErrorQueryResult, InstrumentError, KorvaneWarning

STRING_BUFFER = 256  # first try; a longer text is read again at the size the driver asks for
MESSAGE_BUFFER = 256  # the fixed size of the IVI-C message outputs
# A direct read takes the instrument's whole reply in one call, into a buffer this large.
READ_BUFFER = 64 << 20
# Entries read off the instrument's queue for one exception: a queue that never empties (a
# misbehaving instrument) must not hold the caller forever.
MAX_QUEUE_ENTRIES = 32
UNEXPECTED_RESPONSE = 0xBFFA0059 - (1 << 32)

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
