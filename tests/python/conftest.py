"""Fixtures of the korvane package's tests: a simulator of their own (loopback, port 0) and
sessions on it or in the driver's simulation. Run by ctest with PYTHONPATH at the build tree's
assembled package and KORVANE_SIM naming the simulator."""
import os
import subprocess

import pytest

import korvane

SIM = os.environ.get("KORVANE_SIM", "")


class Sim:
    def __init__(self, *extra):
        self.proc = subprocess.Popen([SIM, "--port", "0", "--model", "MSO-CD1000", "--signal", "1:sine:1e3:0.5",
                                      "--signal", "2:square:2e3:1", *extra],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("listening on 127.0.0.1:"), line
        self.resource = f"TCPIP0::127.0.0.1::{int(line.rsplit(':', 1)[1])}::SOCKET"

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()


@pytest.fixture(scope="session")
def sim():
    if not os.path.isfile(SIM):
        pytest.fail("KORVANE_SIM must name korvane-scope-sim")
    s = Sim()
    yield s
    s.stop()


@pytest.fixture
def scope(sim):
    with korvane.Scope(sim.resource, options="QueryInstrStatus=true") as s:
        yield s


@pytest.fixture
def simulated():
    with korvane.Scope(simulate=True, options="DriverSetup= Model=MSO-CD1000") as s:
        yield s
