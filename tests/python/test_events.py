"""The asyncio methods: four simulators read at once without blocking the loop, and a read
cancelled in the middle of a long acquisition leaves the session usable."""
import asyncio
import os
import re
import subprocess
import sys
import threading
import time

import pytest

import korvane
from conftest import Sim


@pytest.fixture
def four():
    sims = [Sim("--acquire-time", "0.5") for _ in range(4)]
    scopes = [korvane.Scope(s.resource) for s in sims]
    yield scopes
    for scope in scopes:
        scope.close()
    for s in sims:
        s.stop()


def test_four_simulators_read_concurrently_and_the_loop_keeps_running(four):
    ticks = 0

    async def ticker(stop):
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            await asyncio.sleep(0.01)

    async def main():
        stop = asyncio.Event()
        tick = asyncio.create_task(ticker(stop))
        start = time.monotonic()
        waves = await asyncio.gather(*(s.channels["Channel1"].read_waveform_async(points=1000) for s in four))
        elapsed = time.monotonic() - start
        stop.set()
        await tick
        return waves, elapsed

    waves, elapsed = asyncio.run(main())
    assert [len(w.y) for w in waves] == [1000] * 4
    assert all(abs(w.y).max() > 0.1 for w in waves)  # channel 1 carries a sine of 0.5 V
    # Four acquisitions of 0.5 s each, side by side rather than one after another.
    assert elapsed < 1.6, elapsed
    assert ticks >= 20, f"the event loop ran {ticks} times in {elapsed:.2f} s"


def test_cancelled_read_then_a_successful_one(sim):
    with korvane.Scope(sim.resource) as scope:
        scope.ivi_direct_io.write_string(":SIM:ACQ:TIME 2")

        async def main():
            channel = scope.channels["Channel1"]
            task = asyncio.create_task(channel.read_waveform_async(points=500, max_time_milliseconds=10000))
            await asyncio.sleep(0.3)
            start = time.monotonic()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            cancelled_in = time.monotonic() - start
            wave = await channel.read_waveform_async(points=500)
            await scope.wait_for_acquisition_complete_async(2000)
            return cancelled_in, wave

        cancelled_in, wave = asyncio.run(main())
        assert cancelled_in < 0.5, cancelled_in  # the task did not wait for the 2 s acquisition
        assert len(wave.y) == 500


def test_readme_asyncio_example_reads_four_simulators():
    readme = os.path.join(os.environ["KORVANE_SOURCE_DIR"], "README.md")
    with open(readme, encoding="utf-8") as f:
        section = f.read().split("## Service requests and asyncio", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    ports = '[f"TCPIP0::127.0.0.1::{port}::SOCKET" for port in (5025, 5026, 5027, 5028)]'
    assert ports in code
    code = "import sys\n" + code.replace(ports, "sys.argv[1:]")  # the simulators of this test
    sims = [Sim() for _ in range(4)]
    try:
        p = subprocess.run([sys.executable, "-c", code, *(s.resource for s in sims)], capture_output=True, text=True,
                           timeout=120)
    finally:
        for s in sims:
            s.stop()
    assert p.returncode == 0, p.stderr
    lines = p.stdout.splitlines()
    assert [line.split()[:2] for line in lines] == [[s.resource, "1000"] for s in sims], p.stdout


# The callback below raises on purpose: ctypes reports that through sys.unraisablehook.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_service_request_callback_over_hislip_then_removed():
    sim = Sim("--hislip-port", "0")
    try:
        port = int(re.search(r"hislip listening on 127\.0\.0\.1:(\d+)", sim.proc.stdout.readline()).group(1))
        resource = f"TCPIP0::127.0.0.1::hislip0,{port}::INSTR"
        received = []
        got = threading.Event()

        def on_request(status_byte):
            received.append(status_byte)
            got.set()
            raise RuntimeError("a failing callback must not stop later deliveries")

        with korvane.Scope(resource) as scope, korvane.Scope(resource) as other:
            scope.on_service_request(on_request)
            for round_ in range(2):
                got.clear()
                other.ivi_direct_io.write_string("*CLS;*SRE 32;*ESE 1;*OPC\n")
                assert got.wait(5), f"no service request delivered in round {round_}"
                assert received[-1] & 0x40, hex(received[-1])  # the request bit
                scope.ivi_direct_io.write_string("*CLS\n")  # the next round's request is a new one
            scope.on_service_request(None)
            count = len(received)
            other.ivi_direct_io.write_string("*CLS;*SRE 32;*ESE 1;*OPC\n")
            time.sleep(0.3)
            assert len(received) == count
            assert scope.timebase.horizontal_scale > 0  # still usable
    finally:
        sim.stop()


def test_service_request_callback_refused_over_socket(scope):
    with pytest.raises(korvane.Error) as err:
        scope.on_service_request(lambda stb: None)
    assert "event" in str(err.value).lower() or "support" in str(err.value).lower(), str(err.value)


def test_event_wait_mode_over_hislip_reads_and_waits_without_queries_meanwhile():
    sim = Sim("--hislip-port", "0", "--operation-time", "0.5")
    try:
        port = int(re.search(r"hislip listening on 127\.0\.0\.1:(\d+)", sim.proc.stdout.readline()).group(1))
        resource = f"TCPIP0::127.0.0.1::hislip0,{port}::INSTR"
        with korvane.Scope(resource, options={"wait_mode": "Event"}) as scope, korvane.Scope(sim.resource) as control:
            async def main():
                wave = await scope.channels["Channel1"].read_waveform_async(points=500)
                read_queries = control.ivi_direct_io.query(":SIM:OPER:QUER?")
                scope.ivi_direct_io.write_string(":DIG\n")
                start = time.monotonic_ns()
                await scope.wait_for_acquisition_complete_async(5000)
                return wave, read_queries, start, time.monotonic_ns()

            wave, read_queries, start, returned = asyncio.run(main())
            assert len(wave.y) == 500
            assert abs(wave.y).max() > 0.4  # channel 1 carries a sine of 0.5 V
            # The read acquired and waited for the end without a query in between.
            assert int(read_queries) == 0
            # The wait returned after the acquisition had ended, not before.
            assert start < int(control.ivi_direct_io.query(":SIM:OPER:END?")) <= returned
        with pytest.raises(korvane.Error, match="Sometimes"):
            korvane.Scope(resource, options={"wait_mode": "Sometimes"})
    finally:
        sim.stop()
