"""The korvane Python package beside the C function it calls and beside pyvisa-py.

Usage (bench/run-python-bench starts the simulator and passes these):
    python_bench.py <resource> <ivic_read_speed program> [turns (default 30)]

Figures, read by read in turns, so that the shared machine's load falls on all alike:
  - a 1,000,000-point read of Channel1 (acquire, transfer, scale) through read_waveform into a
    new numpy array and into the caller's array (out=), against the same read from C
    (ivic_read_speed) into one buffer: KVScope_measurements_read_waveform, the function the
    package calls, and IVI-C's Korvane_ReadWaveform;
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


class CReader:
    """ivic_read_speed in read mode ("read": IVI-C, "ansic-read": kvscope.h): one read a request,
    its own session."""

    def __init__(self, program, resource, mode="read"):
        self.p = subprocess.Popen([program, mode, resource, str(POINTS)], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)

    def read(self):
        self.p.stdin.write("r\n")
        self.p.stdin.flush()
        line = self.p.stdout.readline()
        if not line:
            raise RuntimeError("ivic_read_speed failed")
        return float(line)

    def close(self):
        self.p.stdin.close()
        self.p.wait(timeout=30)
        self.p.stdout.close()


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
    rounds = int(argv[2]) if len(argv) > 2 else 30
    print(f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())} "
          f"({os.cpu_count()} cores, shared with other work)")
    c, c_flat, py_new, py_out, pv = [], [], [], [], []
    out = numpy.empty(POINTS)
    inst = pyvisa_session(resource)
    reader = CReader(program, resource)
    flat_reader = CReader(program, resource, "ansic-read")
    with korvane.Scope(resource) as scope:
        scope.waveform.point_count = POINTS
        # Warm all (connections, the first synthesis), then take turns read by read.
        reader.read(), flat_reader.read(), python_reads(scope, 1), python_reads(scope, 1, out)
        for k in range(rounds):
            c.append(reader.read())
            c_flat.append(flat_reader.read())
            py_new += python_reads(scope, 1)
            py_out += python_reads(scope, 1, out)
            if inst is not None and k % 3 == 0:
                pv += pyvisa_reads(inst, 1)
    reader.close()
    flat_reader.close()
    if inst is not None:
        inst.close()
    with korvane.Scope(simulate=True, options="DriverSetup= Model=MSO-CD1000") as sim:
        gets = [get_time(sim.timebase, "horizontal_scale") for _ in range(5)]
        item_gets = [get_time(sim.channels["Channel1"], "offset") for _ in range(5)]
    c_get = float(subprocess.run([program, "get", "200000"], capture_output=True, text=True, check=True).stdout)
    c_flat_get = float(subprocess.run([program, "ansic-get", "200000"], capture_output=True, text=True,
                                      check=True).stdout)
    med = statistics.median
    print(f"load average after:  {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"{POINTS:,}-point ReadWaveform of Channel1 (s): median and fastest of {len(c)} reads each; on a busy "
          "machine the fastest shows the cost, the median the waits for a core")
    rows = [("C Korvane_ReadWaveform", c), ("C KVScope_..._read_waveform", c_flat),
            ("Python read_waveform, new array", py_new), ("Python read_waveform(out=array)", py_out)]
    if pv:
        rows.append((f"pyvisa-py + numpy ({len(pv)} reads)", pv))
    for name, t in rows:
        line = f"  {name:<34} {med(t):.4f}  {min(t):.4f}"
        if name.startswith("Python"):
            line += f"   C/Python {med(c_flat) / med(t):.2f} (median), {min(c_flat) / min(t):.2f} (fastest) " \
                    f"against KVScope_, {med(c) / med(t):.2f} / {min(c) / min(t):.2f} against IVI-C; target >= 0.9"
        if t is pv:
            line += f"   Python is {med(pv) / med(py_new):.1f}x (median), {min(pv) / min(py_new):.1f}x (fastest) " \
                    "faster; target >= 10"
        print(line)
    if not pv:
        print("  pyvisa-py is not installed (python3-pyvisa-py): no comparison")
    print(f"Simulated attribute get, median of 5 x 200,000: timebase.horizontal_scale {med(gets) * 1e6:.2f} us, "
          f"channels['Channel1'].offset {med(item_gets) * 1e6:.2f} us (target <= 5 us); "
          f"the C call alone {c_flat_get / 1000:.2f} us (KVScope_timebase_horizontal_scale_get), "
          f"{c_get / 1000:.2f} us (IVI-C)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
