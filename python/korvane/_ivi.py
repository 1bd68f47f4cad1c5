"""The members every IVI-Python driver has: the options of the constructor, `ivi_utility` and
`ivi_direct_io` on the root object."""
from __future__ import annotations

import threading
from typing import TypedDict

from . import _generated
from ._binding import Session
from ._errors import INSTRUMENT_STATUS, ErrorQueryResult, InstrumentError

# The C functions (without _get / _set) of the members the session's own functions do not serve.
_SERIAL_NUMBER = _generated.ATTRIBUTES["KORVANE_ATTR_SYSTEM_SERIAL_NUMBER"][1]
_FIRMWARE = _generated.ATTRIBUTES["KORVANE_ATTR_INSTRUMENT_FIRMWARE_REVISION"][1]


class ScopeOptions(TypedDict, total=False):
    """The options of `Scope(..., options={...})`; every key may be left out.

    Attributes:
        simulate: Open the driver's own simulation: no instrument, no I/O.
        cache: Keep set values and answer reads from them (default True).
        range_check: Check values against the model's ranges before sending (default True).
        query_instrument_status: Read the instrument's status after each call and raise its
            errors (default False).
        record_value_coercions: Keep a record of the values the driver coerced.
        interchange_check: Record interchangeability warnings.
        model: The model to simulate (one of supported_instrument_models).
        trace: Write the method trace.
        trace_name: The trace's file name.
        trace_size_max: The trace's largest size in bytes.
        trace_array: Write array contents into the trace.
        trace_array_size_max: The most array elements the trace writes.
        trace_save_interval: Seconds between the trace's saves.
        trace_transform: The style sheet the trace names.
        io_log: "stderr" or a file the instrument traffic is appended to.
        wait_mode: "Poll" (default) or "Event": how waits for the instrument's pending operations
            are made (by service request where the transport delivers them).
        driver_setup: Further driver settings as the DriverSetup option writes them
            ("Name=value, Name=value"), after the ones above.
    """

    simulate: bool
    cache: bool
    range_check: bool
    query_instrument_status: bool
    record_value_coercions: bool
    interchange_check: bool
    model: str
    trace: bool
    trace_name: str
    trace_size_max: int
    trace_array: bool
    trace_array_size_max: int
    trace_save_interval: int
    trace_transform: str
    io_log: str
    wait_mode: str
    driver_setup: str


# Option key -> the driver's name for it. The IVI options precede DriverSetup, which takes the
# rest of the string.
_IVI_OPTIONS = {"simulate": "Simulate", "cache": "Cache", "range_check": "RangeCheck",
                "query_instrument_status": "QueryInstrStatus", "record_value_coercions": "RecordCoercions",
                "interchange_check": "InterchangeCheck"}
_SETUP_OPTIONS = {"model": "Model", "trace": "Trace", "trace_name": "TraceName", "trace_size_max": "TraceSizeMax",
                  "trace_array": "TraceArray", "trace_array_size_max": "TraceArraySizeMax",
                  "trace_save_interval": "TraceSaveInterval", "trace_transform": "TraceTransform",
                  "io_log": "IoLog", "wait_mode": "WaitMode"}


def option_string(options: ScopeOptions) -> str:
    """The driver's option string for a ScopeOptions mapping.

    Raises:
        ValueError: An unknown key, or a value the option string cannot carry.
        TypeError: A value of the wrong type.
    """
    ivi: list[str] = []
    setup: list[str] = []
    for key, value in options.items():
        if key == "driver_setup":
            continue
        name = _IVI_OPTIONS.get(key) or _SETUP_OPTIONS.get(key)
        if name is None:
            known = ", ".join(sorted([*_IVI_OPTIONS, *_SETUP_OPTIONS, "driver_setup"]))
            raise ValueError(f"{key!r} is not an option of Scope; the options are {known}")
        if isinstance(value, bool):
            text = "true" if value else "false"
        elif isinstance(value, (int, str)) and key not in _IVI_OPTIONS:
            text = str(value)
        else:
            raise TypeError(f"option {key!r} takes a {'bool' if key in _IVI_OPTIONS else 'text or number'}, "
                            f"not {type(value).__name__}")
        if not text.strip() or any(c in text for c in ",=;"):
            raise ValueError(f"option {key!r}: {text!r} cannot be passed (empty, or holding ',', '=' or ';')")
        (ivi if key in _IVI_OPTIONS else setup).append(f"{name}={text}")
    extra = options.get("driver_setup", "")
    if not isinstance(extra, str):
        raise TypeError(f"option 'driver_setup' takes a text, not {type(extra).__name__}")
    if extra.strip():
        setup.append(extra.strip())
    if setup:
        ivi.append("DriverSetup= " + ", ".join(setup))
    return ", ".join(ivi)


def flat_options(text: str) -> str:
    """The flat C API's options ("simulate=true;model=...") for the driver's option string
    ("Simulate=true, DriverSetup= Model=..."): the same settings under their C names.

    Raises:
        ValueError: A piece without "=", or a name the driver does not have.
    """
    names = {v.lower(): k for k, v in (*_IVI_OPTIONS.items(), *_SETUP_OPTIONS.items())}
    at = text.lower().find("driversetup=")  # the driver's settings take the rest of the string
    head, setup = (text, "") if at < 0 else (text[:at], text[at + len("driversetup="):])
    pairs = []
    for piece in [p for p in head.split(",") if p.strip()] + [p for p in setup.split(",") if p.strip()]:
        name, eq, value = piece.partition("=")
        key = names.get(name.strip().lower())
        if not eq or key is None:
            known = ", ".join(sorted(names))
            raise ValueError(f"{piece.strip()!r} is not an option of the driver; the options are {known}")
        pairs.append(f"{key}={value.strip()}")
    return ";".join(pairs)


class IviUtility:
    """The driver's and the instrument's identity, the instrument's error queue and reset."""
    __slots__ = ("_s",)

    def __init__(self, session: Session) -> None:
        self._s = session

    @property
    def driver_version(self) -> str:
        """The driver's version ("1.4.0.0")."""
        return self._s.text("KVScope_driver_version_get")

    @property
    def driver_vendor(self) -> str:
        """Who makes the driver."""
        return self._s.text("KVScope_driver_vendor_get")

    @property
    def instrument_manufacturer(self) -> str:
        """Who made the instrument, as it identifies itself."""
        return self._s.text("KVScope_instrument_manufacturer_get")

    @property
    def instrument_model(self) -> str:
        """The instrument's model, as it identifies itself (the simulated one while simulating)."""
        return self._s.text("KVScope_instrument_model_get")

    @property
    def instrument_serial_number(self) -> str:
        """The instrument's serial number."""
        return str(self._s.get_value("S", _SERIAL_NUMBER))

    @property
    def instrument_firmware(self) -> str:
        """The instrument's firmware revision."""
        return str(self._s.get_value("S", _FIRMWARE))

    @property
    def query_instrument_status_enabled(self) -> bool:
        """Whether the driver reads the instrument's status after each call and raises its errors."""
        return bool(self._s.get_value("B", "KVScope_query_instrument_status_enabled"))

    @query_instrument_status_enabled.setter
    def query_instrument_status_enabled(self, value: bool) -> None:
        self._s.set_value("B", "KVScope_query_instrument_status_enabled", bool(value))

    @property
    def simulation_enabled(self) -> bool:
        """Whether the session runs the driver's simulation (set when the session opens)."""
        return bool(self._s.get_value("B", "KVScope_simulate"))

    @property
    def supported_instrument_models(self) -> tuple[str, ...]:
        """Every model the driver supports."""
        text = self._s.text("KVScope_supported_instrument_models_get")
        return tuple(m.strip() for m in text.split(",") if m.strip())

    def error_query(self) -> ErrorQueryResult | None:
        """The oldest entry of the instrument's error queue, taken off it.

        Returns:
            The entry, or None when the queue is empty.
        """
        return self._s.error_query()

    def error_query_all(self) -> tuple[ErrorQueryResult, ...]:
        """Every entry of the instrument's error queue, oldest first, emptying it.

        Returns:
            The entries; empty when there are none.
        """
        return self._s.error_query_all()

    def raise_on_device_error(self) -> None:
        """Raises the entries of the instrument's error queue, if there are any.

        Raises:
            InstrumentError: The queue held entries; they are in `instrument_errors` and the text.
        """
        found = self._s.error_query_all()
        if found:
            text = "The instrument reports: " + "; ".join(f"{e.code} {e.message}" for e in found)
            raise InstrumentError(INSTRUMENT_STATUS, text, "", found)

    def reset(self) -> None:
        """Resets the instrument and the driver's state of it."""
        self._s.reset()


class IviDirectIo:
    """Commands and replies to and from the instrument, past the object model.

    The driver reads a reply whole; what read_bytes does not return of it waits for the next
    read. Each method is one step for other threads: `query` keeps its write and read together.
    """
    __slots__ = ("_s", "_lock", "_pending")

    def __init__(self, session: Session) -> None:
        self._s = session
        self._lock = threading.Lock()
        self._pending = b""  # the part of a reply read_bytes has not returned yet

    @property
    def session(self) -> int:
        """The driver's session handle (a KVScopeSession): the instrument I/O runs inside the
        driver library, and this is what its C functions (kvscope.h) take."""
        return self._s.vi

    @property
    def io_timeout_ms(self) -> int:
        """How long an instrument read or write may take, in milliseconds."""
        return int(self._s.get_value("I32", "KVScope_direct_io_timeout_milliseconds"))

    @io_timeout_ms.setter
    def io_timeout_ms(self, value: int) -> None:
        self._s.set_value("I32", "KVScope_direct_io_timeout_milliseconds", int(value))

    def write_string(self, data: str) -> None:
        """Sends a command (UTF-8; the driver ends the message).

        Args:
            data: The command.
        """
        with self._lock:
            self._s.write_string(data)

    def write_bytes(self, data: bytes | bytearray | memoryview) -> None:
        """Sends bytes as they are, as one message.

        Args:
            data: The bytes.
        """
        with self._lock:
            self._s.write_bytes(bytes(data))

    def read_bytes(self, count: int) -> bytes:
        """Reads at most `count` bytes: the rest of a reply an earlier read left, else a new reply.

        Args:
            count: The most bytes to return.

        Raises:
            ValueError: count is negative.
            Error: Nothing came within io_timeout_ms.
        """
        if count < 0:
            raise ValueError("count must not be negative")
        with self._lock:
            data = self._pending or self._s.read_message()
            self._pending = data[count:]
            return data[:count]

    def read_string(self) -> str:
        """Reads the rest of a reply an earlier read_bytes left, else a new reply, as text.

        Raises:
            Error: Nothing came within io_timeout_ms.
        """
        with self._lock:
            data, self._pending = self._pending or self._s.read_message(), b""
            return data.decode("utf-8", "replace")

    def query(self, command: str) -> str:
        """Sends a command and reads its reply, with no other direct write or read in between.

        Args:
            command: The command, a query ("*IDN?").

        Returns:
            The reply's text, without the line end.
        """
        with self._lock:
            self._pending = b""  # an answer to an earlier command is not this one's
            self._s.write_string(command)
            return self._s.read_message().decode("utf-8", "replace").rstrip("\r\n")
