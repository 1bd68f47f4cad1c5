"""Korvane oscilloscopes from Python, through the driver's flat C functions (kvscope.h, by ctypes;
no compiled code).

    import korvane
    with korvane.Scope("TCPIP0::127.0.0.1::5025::SOCKET", options={"query_instrument_status": True}) as scope:
        print(scope.ivi_utility.instrument_model)
        scope.timebase.horizontal_scale = 200e-6
        wf = scope.channels[1].read_waveform(points=10_000)
        print(wf.y.max(), wf.x0, wf.dx)

Properties follow the driver's attribute table (snake case, `help()` shows the catalogue's
description), repeated capabilities are collections (`scope.channels["Channel1"]`,
`scope.channels[korvane.ChannelName.CHANNEL1]`, `scope.channels[1]`), functions are methods,
enumerations are IntEnums, and a failed call raises korvane.Error with the status and the
driver's or the instrument's text.
"""
from __future__ import annotations

import weakref
from types import TracebackType
from typing import Any

from . import _library
from ._binding import RevisionQueryResult, Session
from ._discovery import FoundResource, find_resources
from ._errors import Error, ErrorQueryResult, InstrumentError, KorvaneWarning
from ._generated import *  # noqa: F401,F403  (the enumerations and collection classes)
from ._generated import ENUMS, Root
from . import _generated
from . import _events  # noqa: F401  (attaches the asyncio methods to the generated classes)
from ._ivi import IviDirectIo, IviUtility, ScopeOptions, flat_options, option_string
from ._runtime import Collection, Item, Waveform, function
from ._version import __version__  # made from the build's version (see setup.py)

__all__ = ["Scope", "ScopeOptions", "IviUtility", "IviDirectIo", "Error", "InstrumentError", "ErrorQueryResult",
           "KorvaneWarning", "Waveform", "Collection", "Item", "library_path", "__version__", "FoundResource",
           "find_resources"]
__all__ += _generated.__all__

# Where a simulated session points; the driver opens no connection while simulating.
_SIMULATED_RESOURCE = "TCPIP0::127.0.0.1::5025::SOCKET"
_KINDS = {"int32": "I32", "int64": "I64", "real64": "R64", "boolean": "B", "string": "S"}
# Attribute identifier -> (C function without _get / _set, kind, whether it takes an item's name).
_BY_ID = {v[0]: v[1:] for v in _generated.ATTRIBUTES.values()}


def library_path() -> str:
    """The driver library this package loads (see korvane._library for the search order)."""
    return str(_library.load().korvane_path)


class Scope(Root):
    """A session with one oscilloscope.

    Use it as a context manager, or call close().

    Args:
        resource_name: A VISA resource name ("TCPIP0::192.168.1.20::5025::SOCKET") or a logical
            name of the IVI configuration store. May be "" when simulating.
        id_query: Check that the instrument is a supported model.
        reset: Reset the instrument when the session opens.
        options: A ScopeOptions mapping ({"simulate": True, "model": "..."}), or the driver's
            option string ("Simulate=true, DriverSetup= Model=...").
        simulate: Kept from earlier versions: the same as the "simulate" option.

    Raises:
        Error: The session did not open (its text says why).
        ValueError: An option the driver does not have, or no resource name for an instrument.
    """
    __slots__ = ()

    def __init__(self, resource_name: str = "", id_query: bool = True, reset: bool = False,
                 options: ScopeOptions | str | None = None, *, simulate: bool = False) -> None:
        session = Session()
        super().__init__(session)
        if isinstance(options, dict):
            chosen = dict(options)
            if simulate:
                chosen.setdefault("simulate", True)
            # A plain dict is checked when the string is made.
            text = option_string(chosen)  # type: ignore[arg-type]
            simulate = bool(chosen.get("simulate", False))
        else:
            text = options or ""
            if simulate:
                # DriverSetup takes the rest of the string, so the flag goes first.
                text = "Simulate=true" + (", " + text if text else "")
        if not resource_name:
            if not simulate and "simulate=true" not in text.replace(" ", "").lower():
                raise ValueError("a resource name is needed unless the session simulates")
            resource_name = _SIMULATED_RESOURCE
        session.open(resource_name, id_query, reset, flat_options(text))
        # A session dropped without close() still ends (and its connection with it).
        self._kids["_finalizer"] = weakref.finalize(session, session.lib.KVScope_close, session.vi)
        self._kids["ivi_utility"] = IviUtility(session)
        self._kids["ivi_direct_io"] = IviDirectIo(session)

    @property
    def ivi_utility(self) -> IviUtility:
        """Identity, error queue and reset: the members every IVI driver has."""
        utility: IviUtility = self._kids["ivi_utility"]
        return utility

    @property
    def ivi_direct_io(self) -> IviDirectIo:
        """Commands and replies past the object model."""
        direct: IviDirectIo = self._kids["ivi_direct_io"]
        return direct

    def close(self) -> None:
        """Ends the session; later calls fail. Closing twice does nothing."""
        if not self._s.vi:
            return
        self._kids["_finalizer"].detach()
        self._s.close()

    @property
    def closed(self) -> bool:
        """Whether close() ended the session."""
        return not self._s.vi

    @property
    def vi(self) -> int:
        """The session handle (a KVScopeSession; 0 once closed), for calling the C functions of
        kvscope.h directly."""
        return self._s.vi

    def __enter__(self) -> Scope:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<korvane.Scope vi={self._s.vi}{'' if self._s.vi else ' closed'}>"

    def get_attribute(self, attribute_id: int, kind: str, name: str = "") -> Any:
        """An attribute by its IVI-C identifier.

        Args:
            attribute_id: The KORVANE_ATTR_* number.
            kind: int32, int64, real64, boolean or string.
            name: The item's name for an attribute of a repeated capability.

        Raises:
            KeyError: No attribute has this identifier.
            ValueError: The kind is not the attribute's.
        """
        function, rc = self._attribute(attribute_id, kind, name)
        return self._s.get_value(_KINDS[kind], function, rc)

    def set_attribute(self, attribute_id: int, kind: str, value: Any, name: str = "") -> None:
        """Sets an attribute by its IVI-C identifier (see get_attribute)."""
        function, rc = self._attribute(attribute_id, kind, name)
        self._s.set_value(_KINDS[kind], function, value, rc)

    @staticmethod
    def _attribute(attribute_id: int, kind: str, name: str) -> tuple[str, bytes | None]:
        if attribute_id not in _BY_ID:
            raise KeyError(f"{attribute_id} is not an attribute of the driver")
        function, own_kind, selector = _BY_ID[attribute_id]
        if _KINDS.get(kind) != own_kind:
            raise ValueError(f"attribute {attribute_id} is not of kind {kind!r}")
        return function, name.encode("utf-8") if selector else None

    def revision_query(self) -> RevisionQueryResult:
        """The driver's and the instrument's revisions."""
        return self._s.revision_query()

    # The session functions every driver has. error_query and reset stay here for the programs
    # written before ivi_utility had them.
    reset = function("KVScope_reset", [], False, "Resets the instrument and the driver's settings.", [])
    reset_with_defaults = function("KVScope_utility_reset_with_defaults", [], False,
                                   "Resets, then applies the driver's default setup.", [])
    disable = function("KVScope_utility_disable", [], False, "Puts the instrument in a quiet state.", [])
    invalidate_all_attributes = function("KVScope_driver_operation_invalidate_all_attributes", [], False,
                                         "Forgets every cached value; the next reads ask the instrument.", [])
    error_query = function("KVScope_error_query", [("out", "int32_t", "error_code", None, None),
                                                   ("sout", "char", "error_message", None, None)], False,
                           "The instrument's next error from its queue (0 when empty).", [])
    self_test = function("KVScope_utility_self_test", [("out", "int32_t", "test_result", None, None),
                                                       ("sout", "char", "test_message", None, None)], False,
                         "Runs the instrument's self-test.", [])
    get_next_coercion_record = function("KVScope_get_next_coercion_record",
                                        [("sout", "char", "record", None, None)], False,
                                        "The oldest coercion record (RecordCoercions=true), '' when none is left.", [])
