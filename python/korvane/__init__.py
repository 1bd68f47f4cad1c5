"""Korvane oscilloscopes from Python, through the driver's C functions (ctypes; no compiled code).

    import korvane
    with korvane.Scope("TCPIP0::127.0.0.1::5025::SOCKET") as scope:
        scope.timebase.horizontal_scale = 200e-6
        wf = scope.channels["Channel1"].read_waveform(points=10_000)
        print(wf.y.max(), wf.x0, wf.dx)

Properties follow the driver's attribute table (snake case, `help()` shows the catalogue's
description), repeated capabilities are mappings (`scope.channels["Channel1"]`), functions are
methods, enumerations are IntEnums, and a failed call raises korvane.Error with the IVI status and
the driver's description.
"""
import ctypes
import weakref

from . import _library
from ._generated import *  # noqa: F401,F403  (the enumerations)
from ._generated import ENUMS, Root
from ._runtime import Error, KorvaneWarning, Session, Waveform, declare, function
from ._version import __version__  # made from the build's version (see setup.py)
__all__ = ["Scope", "Error", "KorvaneWarning", "Waveform", "library_path"] + list(ENUMS)

# Where a simulated session points; the driver opens no connection while simulating.
_SIMULATED_RESOURCE = "TCPIP0::127.0.0.1::5025::SOCKET"
_KINDS = {"int32": "I32", "int64": "I64", "real64": "R64", "boolean": "B", "string": "S"}


def library_path():
    """The driver library this package loads (see korvane._library for the search order)."""
    return _library.load().korvane_path


class Scope(Root):
    """A session with one oscilloscope.

    `resource` is a VISA resource name (or a logical name of the IVI configuration store);
    `simulate=True` opens the driver's own simulation (no instrument; the resource may be
    omitted); `options` is the IVI option string ("QueryInstrStatus=true, DriverSetup= Model=...").
    Use it as a context manager, or call close().
    """
    __slots__ = ()

    def __init__(self, resource=None, simulate=False, options="", id_query=True, reset=False):
        lib = declare(_library.load())
        session = Session(lib)
        super().__init__(session)
        if resource is None:
            if not simulate:
                raise ValueError("a resource name is needed unless simulate=True")
            resource = _SIMULATED_RESOURCE
        if simulate:
            # DriverSetup takes the rest of the string, so the flag goes first.
            options = "Simulate=true" + (", " + options if options else "")
        vi = ctypes.c_uint32(0)
        lib.Korvane_ClearError(0)  # what a failure leaves on the thread is this call's alone
        status = lib.Korvane_InitWithOptions(resource.encode("utf-8"), 1 if id_query else 0, 1 if reset else 0,
                                             options.encode("utf-8"), ctypes.byref(vi))
        if status < 0:
            raise session.fail(status, "Korvane_InitWithOptions")
        session.vi = vi.value
        # A session dropped without close() still ends (and its connection with it).
        self._kids["_finalizer"] = weakref.finalize(session, lib.Korvane_close, vi.value)

    def close(self):
        """Ends the session; later calls fail. Closing twice does nothing."""
        s = self._s
        if not s.vi:
            return
        self._kids["_finalizer"].detach()
        vi, s.vi = s.vi, 0
        s.check(s.lib.Korvane_close(vi), "Korvane_close")

    @property
    def closed(self):
        return not self._s.vi

    @property
    def vi(self):
        """The IVI-C session handle (0 once closed), for calling the C functions directly."""
        return self._s.vi

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return f"<korvane.Scope vi={self._s.vi}{'' if self._s.vi else ' closed'}>"

    def get_attribute(self, attribute_id, kind, name=""):
        """An attribute by its IVI-C identifier; kind: int32, int64, real64, boolean or string."""
        from ._runtime import attribute
        return attribute(attribute_id, _KINDS[kind], "R", None, "").fget(_At(self._s, name))

    def set_attribute(self, attribute_id, kind, value, name=""):
        """Sets an attribute by its IVI-C identifier (see get_attribute)."""
        from ._runtime import attribute
        attribute(attribute_id, _KINDS[kind], "W", None, "").fset(_At(self._s, name), value)

    # The session functions every IVI-C driver has.
    reset = function("Korvane_reset", [], False, "Resets the instrument and the driver's settings.")
    reset_with_defaults = function("Korvane_ResetWithDefaults", [], False,
                                   "Resets, then applies the driver's default setup.")
    disable = function("Korvane_Disable", [], False, "Puts the instrument in a quiet state.")
    invalidate_all_attributes = function("Korvane_InvalidateAllAttributes", [], False,
                                         "Forgets every cached value; the next reads ask the instrument.")
    error_query = function("Korvane_error_query", [("out", "ViInt32", "error_code", None, None),
                                                   ("sfix", "ViChar", "error_message", None, None)], False,
                           "The instrument's next error from its queue (0 when empty).")
    self_test = function("Korvane_self_test", [("out", "ViInt16", "test_result", None, None),
                                               ("sfix", "ViChar", "test_message", None, None)], False,
                         "Runs the instrument's self-test.")
    revision_query = function("Korvane_revision_query", [("sfix", "ViChar", "driver_revision", None, None),
                                                         ("sfix", "ViChar", "instrument_revision", None, None)],
                              False, "The driver's and the instrument's revisions.")
    get_next_coercion_record = function("Korvane_GetNextCoercionRecord",
                                        [("sbuf", "ViInt32", "buffer_size", None, None),
                                         ("sout", "ViChar", "record", None, None)], False,
                                        "The oldest coercion record (RecordCoercions=true), '' when none is left.")


class _At:
    """A stand-in node for reading an attribute by identifier."""
    __slots__ = ("_s", "_rc")

    def __init__(self, session, name):
        self._s, self._rc = session, name.encode("utf-8")
