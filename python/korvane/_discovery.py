"""Finding instruments: korvane.find_resources() over the library's Korvane_FindResources, so
that Python callers get the list C callers and `korvane find` get. The C prototypes are declared
here, on function objects of this module's own."""
from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Iterable

from . import _library
from ._errors import Error

# One search per call: a buffer large enough for every list seen in practice, so that the
# size query of the buffer rules (which would search again) is needed only beyond it.
_BUFFER = 64 * 1024


@dataclass(frozen=True)
class FoundResource:
    """An instrument found.

    Attributes:
        resource: Its canonical resource name, ready for ``korvane.Scope(resource)``.
        manufacturer, model, serial, firmware: Its identity from ``*IDN?`` (or, without it, from
            what it announced); "" when unknown.
        via: How it was found: "portmapper", "dns-sd", "probe", "sysfs", "tty".
        note: Why it may not open (a device node the user may not open), or "".
    """

    resource: str
    manufacturer: str
    model: str
    serial: str
    firmware: str
    via: tuple[str, ...]
    note: str


def _function(lib: Any, name: str, *argtypes: Any) -> Any:
    f = lib[name]  # a new function object: the prototypes of other modules stay as they are
    f.argtypes = argtypes
    f.restype = ctypes.c_int32
    return f


def _options(interfaces: Iterable[str], timeout_ms: int, idn: bool, dns_sd: Iterable[str], hosts: Iterable[str],
             portmapper_port: int | None, multicast: bool, probe: Iterable[str] = (),
             probe_ports: Iterable[int] = ()) -> str:
    parts = [f"Timeout={int(timeout_ms)}"]
    if not idn:
        parts.append("Idn=0")
    if not multicast:
        parts.append("Multicast=0")
    if portmapper_port is not None:
        parts.append(f"PortmapperPort={int(portmapper_port)}")
    parts += [f"ProbePort={int(p)}" for p in probe_ports]
    for key, values in (("Interface", interfaces), ("DnsSd", dns_sd), ("Host", hosts), ("Probe", probe)):
        for v in ([values] if isinstance(values, str) else values):
            if ";" in v:
                raise ValueError(f"{key} value {v!r} holds a ';'")
            parts.append(f"{key}={v}")
    return ";".join(parts)


def find_resources(expression: str = "?*", *, interfaces: Iterable[str] = (), timeout_ms: int = 1000,
                   idn: bool = True, dns_sd: Iterable[str] = (), hosts: Iterable[str] = (),
                   portmapper_port: int | None = None, multicast: bool = True, probe: Iterable[str] = (),
                   probe_ports: Iterable[int] = ()) -> list[FoundResource]:
    """The instruments reachable from here whose resource names match ``expression`` (VISA's
    FindRsrc syntax: ``"TCPIP?*"``, ``"?*SOCKET"``, ``"USB?*INSTR"``).

    Args:
        interfaces: Search only through these interfaces (names such as "lo", or addresses);
            every interface by default.
        timeout_ms: How long each finder waits for replies, and each instrument for ``*IDN?``.
        idn: Ask each instrument found ``*IDN?`` (serial ports are never asked).
        dns_sd: DNS-SD responders to ask by unicast, "address[:port]".
        hosts: Hosts whose portmapper is asked for VXI-11 directly.
        portmapper_port: The portmapper's port, when not 111.
        multicast: Send mDNS queries on the allowed multicast interfaces.
        probe: Address ranges ("a.b.c.d", "a.b.c.d-a.b.c.e", "a.b.c.d/n") whose ``probe_ports``
            (5025 by default) are tried by TCP connect: at most 1024 connections, 500 a second.

    Raises:
        korvane.Error: A malformed expression or option (IVI_ERROR_INVALID_VALUE).
    """
    lib = _library.load()
    find = _function(lib, "Korvane_FindResources", ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32, ctypes.c_void_p)
    options = _options(interfaces, timeout_ms, idn, dns_sd, hosts, portmapper_port, multicast, probe, probe_ports)
    buffer = ctypes.create_string_buffer(_BUFFER)
    status = find(expression.encode(), options.encode(), _BUFFER, buffer)
    if status > 0:  # more than the buffer holds: once more with the size it asked for
        buffer = ctypes.create_string_buffer(status)
        status = find(expression.encode(), options.encode(), status, buffer)
    if status < 0:
        get_error = _function(lib, "Korvane_GetError", ctypes.c_uint32, ctypes.c_void_p, ctypes.c_int32,
                              ctypes.c_void_p)
        code, text = ctypes.c_int32(0), ctypes.create_string_buffer(1024)
        get_error(0, ctypes.byref(code), len(text), text)
        raise Error(status, text.value.decode("utf-8", "replace"), "Korvane_FindResources")
    found = []
    for line in buffer.value.decode("utf-8", "replace").splitlines():
        fields = (line.split("\t") + [""] * 7)[:7]
        found.append(FoundResource(fields[0], fields[1], fields[2], fields[3], fields[4],
                                   tuple(v for v in fields[5].split(",") if v), fields[6]))
    return found
