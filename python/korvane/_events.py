"""Asynchronous forms of the long operations, for asyncio programs.

    wf = await scope.channels["Channel1"].read_waveform_async(points=1000)
    await scope.wait_for_acquisition_complete_async(5000)
    waves = await asyncio.gather(*(s.channels["Channel1"].read_waveform_async() for s in scopes))

Each session runs its driver calls on one worker thread of its own, in the order they were
awaited, so the event loop is never blocked and several instruments proceed at once (the driver's
C functions release the GIL while they wait for the instrument).

Cancellation: the awaiting task gets CancelledError at once. The driver call already running is
not cut short (it ends by itself, within its max time); the session's I/O is then cleared (a
device clear, System.ClearIO) before any later call runs, so the session stays usable.

The methods are attached to the generated classes here (attach()), through their public
synchronous methods only, so they follow whatever C functions those call.
"""
from __future__ import annotations

import asyncio
import concurrent.futures
import ctypes
import functools
import threading
import weakref
from typing import Any, Callable

from . import _generated, _runtime
from ._errors import Error

_lock = threading.Lock()
_workers: weakref.WeakKeyDictionary[Any, concurrent.futures.ThreadPoolExecutor] = weakref.WeakKeyDictionary()


def _worker(session: Any) -> concurrent.futures.ThreadPoolExecutor:
    """The session's worker thread, made on first use and ended with the session object."""
    with _lock:
        worker = _workers.get(session)
        if worker is None:
            worker = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="korvane-io")
            _workers[session] = worker
            weakref.finalize(session, worker.shutdown, wait=False)
        return worker


def _clear(session: Any) -> None:
    """A device clear after a cancelled call; a session closed meanwhile has nothing to clear."""
    try:
        _generated.Root(session).system_clear_io()
    except Error:
        pass


async def _run(node: Any, call: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    session = node._s
    worker = _worker(session)
    future = asyncio.get_running_loop().run_in_executor(worker, functools.partial(call, *args, **kwargs))
    try:
        return await future
    except asyncio.CancelledError:
        worker.submit(_clear, session)  # runs after the call under way, before anything awaited later
        raise


async def read_waveform_async(self: Any, *args: Any, **kwargs: Any) -> Any:
    """read_waveform() without blocking the event loop; the same arguments and result."""
    return await _run(self, self.read_waveform, *args, **kwargs)


async def wait_for_acquisition_complete_async(self: Any, max_time_milliseconds: int = 5000) -> None:
    """Waits, without blocking the event loop, until the operations under way (an acquisition
    started by measurements.initiate() or a read) have completed: the instrument answers *OPC?
    then. Raises korvane.Error (timeout) when it has not within the time."""
    await _run(self, self.system_wait_for_operation_complete, max_time_milliseconds)


# void callback(KVScopeSession session, uint8_t status_byte, void* context)
_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint8, ctypes.c_void_p)
# The C function objects installed, by session: the driver calls them until they are replaced.
_handlers: weakref.WeakKeyDictionary[Any, Any] = weakref.WeakKeyDictionary()


def on_service_request(self: Any, callback: Callable[[int], None] | None) -> None:
    """Calls `callback(status_byte)` for each service request the instrument raises, on a thread of
    the driver's own (over HiSLIP, VXI-11 and USBTMC; a SOCKET session raises korvane.Error).

    The callback runs one request at a time, without blocking other threads' calls on the scope,
    and may use the scope itself. An exception it raises is reported (sys.unraisablehook) and the
    next request is delivered as usual. A callback that takes long delays only later requests of
    this session (up to 32 wait; more are counted and dropped). None removes the callback; once
    that returns, it is not running and is not called again.

    Args:
        callback: receives the status byte (bit 6, 0x40, is the request itself), or None.
    """
    session = self._s
    setter = session.functions.get("service_request_handler_set")
    if setter is None:
        setter = session.lib.KVScope_service_request_handler_set
        setter.argtypes = (ctypes.c_void_p, _CALLBACK, ctypes.c_void_p)
        setter.restype = ctypes.c_int32
        session.functions["service_request_handler_set"] = setter
    if callback is None:
        function = _CALLBACK(0)  # a null pointer: no callback
    else:
        user = callback

        def deliver(_session: Any, status_byte: int, _context: Any) -> None:
            user(int(status_byte))

        function = _CALLBACK(deliver)
    status = setter(session.vi, function, None)
    if status < 0:
        raise session.fail(status, "KVScope_service_request_handler_set")
    # Kept while installed: the driver holds only the C pointer.
    if callback is None:
        _handlers.pop(session, None)
    else:
        _handlers[session] = function


def attach() -> None:
    """Adds the asynchronous methods to the generated classes (the package imports this module);
    the generator declares the same in the stub: read_waveform_async beside every read_waveform."""
    for cls in vars(_generated).values():
        if isinstance(cls, type) and issubclass(cls, _runtime.Node) and "read_waveform" in vars(cls):
            setattr(cls, "read_waveform_async", read_waveform_async)
    setattr(_generated.Root, "wait_for_acquisition_complete_async", wait_for_acquisition_complete_async)
    setattr(_generated.Root, "on_service_request", on_service_request)


attach()
