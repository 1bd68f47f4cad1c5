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


def attach() -> None:
    """Adds the asynchronous methods to the generated classes (the package imports this module);
    the generator declares the same in the stub: read_waveform_async beside every read_waveform."""
    for cls in vars(_generated).values():
        if isinstance(cls, type) and issubclass(cls, _runtime.Node) and "read_waveform" in vars(cls):
            setattr(cls, "read_waveform_async", read_waveform_async)
    setattr(_generated.Root, "wait_for_acquisition_complete_async", wait_for_acquisition_complete_async)


attach()
