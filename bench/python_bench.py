"""The korvane Python package beside the C function it calls and beside pyvisa-py.

Usage (bench/run-python-bench starts the simulator and passes these):
    python_bench.py <resource> <ivic_read_speed program> [rounds]

Figures, in alternating rounds so that the shared machine's load falls on all alike:
  - a 1,000,000-point read (Korvane_ReadWaveform of Channel1: acquire, transfer, scale) through
    read_waveform into a new numpy array and into the caller's array (out=), against the same
    read from C (ivic_read_speed) into one buffer;
  - the same transfer and scaling with pyvisa-py and numpy over a raw socket;
  - a simulated attribute read (scope.timebase.horizontal_scale, and a channel's offset).
"""
import os
import statistics
import subprocess
import sys
import time

import numpy

import korvane

POINTS = 1_000_000


def c_reads(program, resource, reads):
    p = subprocess.run([program, "read", resource, str(POINTS), str(reads)], capture_output=True, text=True,
                       timeout=300, check=True)
    return [float(x) for x in p.stdout.split()]


def python_reads(scope, reads, out=None):
    ch = scope.channels["Channel1"]
    times = []
    for _ in range(reads):
        t0 = time.perf_counter()
        wf = ch.read_waveform(points=POINTS, out=out)
        times.append(time.perf_counter() - t0)
        assert len(wf) == POINTS
    return times


def pyvisa_session(resource):
    try:
        import pyvisa
    except ImportError:
        return None
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(resource, read_termination="\n", write_termination="\n")
    inst.timeout = 20000
    inst.write(f":WAV:POIN {POINTS}")
    return inst


def pyvisa_reads(inst, reads):
    # What the driver's ReadWaveform sends: acquire, source, word format, preamble, block; then
    # the scaling to volts with numpy.
    times = []
    for _ in range(reads):
        t0 = time.perf_counter()
        inst.write(":WAV:SOUR CHAN1")
        inst.write(":DIG")
        inst.write(":WAV:FORM WORD;UNS 0;BYT MSBF")
        pre = [float(f) for f in inst.query(":WAV:PRE?").split(",")]
        raw = inst.query_binary_values("WAV:DATA?", datatype="h", is_big_endian=True, container=numpy.array)
        volts = (raw - pre[9]) * pre[7] + pre[8]
        times.append(time.perf_counter() - t0)
        assert volts.size == POINTS
    return times


def get_time(node, name, n=200_000):
    getattr(node, name)
    t0 = time.perf_counter()
    for _ in range(n):
        getattr(node, name)
    return (time.perf_counter() - t0) / n


def main(argv):
    resource, program = argv[0], argv[1]
    rounds = int(argv[2]) if len(argv) > 2 else 5
    print(f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())} "
          f"({os.cpu_count()} cores, shared with other work)")
    c, py_new, py_out, pv = [], [], [], []
    out = numpy.empty(POINTS)
    inst = pyvisa_session(resource)
    with korvane.Scope(resource) as scope:
        scope.waveform.point_count = POINTS
        python_reads(scope, 1)  # warm: connection, first synthesis
        for _ in range(rounds):
            c += c_reads(program, resource, 3)
            py_new += python_reads(scope, 3)
            py_out += python_reads(scope, 3, out)
            if inst is not None:
                pv += pyvisa_reads(inst, 1)
    if inst is not None:
        inst.close()
    with korvane.Scope(simulate=True, options="DriverSetup= Model=MSO-CD1000") as sim:
        gets = [get_time(sim.timebase, "horizontal_scale") for _ in range(5)]
        item_gets = [get_time(sim.channels["Channel1"], "offset") for _ in range(5)]
    c_get = float(subprocess.run([program, "get", "200000"], capture_output=True, text=True, check=True).stdout)
    med = statistics.median
    print(f"load average after:  {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"{POINTS:,}-point ReadWaveform of Channel1, median of {len(c)} reads each (s):")
    print(f"  C Korvane_ReadWaveform            {med(c):.4f}")
    print(f"  Python read_waveform, new array   {med(py_new):.4f}   C/Python {med(c) / med(py_new):.3f} (target >= 0.9)")
    print(f"  Python read_waveform(out=array)   {med(py_out):.4f}   C/Python {med(c) / med(py_out):.3f}")
    if pv:
        print(f"  pyvisa-py + numpy ({len(pv)} reads)       {med(pv):.4f}   Python is {med(pv) / med(py_new):.1f}x faster "
              "(target >= 10)")
    else:
        print("  pyvisa-py is not installed (python3-pyvisa-py): no comparison")
    print(f"Simulated attribute get, median of 5 x 200,000: timebase.horizontal_scale {med(gets) * 1e6:.2f} us, "
          f"channels['Channel1'].offset {med(item_gets) * 1e6:.2f} us (target <= 5 us); "
          f"the C call alone {c_get / 1000:.2f} us")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
