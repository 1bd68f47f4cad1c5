"""The demo, in Python: the same steps as `./korvane.sh demo` (scripts/demo), through the package.

Starts korvane-scope-sim on a free loopback port (1 kHz sine on Channel1, 2 kHz square on
Channel2), identifies it, sets up channels, timebase and an edge trigger, reads both waveforms,
measures, and writes <out>/waveforms.csv and a plot; then the same in the driver's simulation
mode into <out>/simulated/. The plot is drawn with matplotlib when it is installed
(waveforms.svg and waveforms.png), else written as the korvane tool writes it (waveforms.svg).
"""
from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path
from types import TracebackType
from typing import Any, Callable

import korvane

from ._plot import Traces, csv_text, engineering, svg_text
from ._runtime import Waveform

SIMULATED_NOTE = "simulated by the driver: placeholder values, not a measurement (no instrument is connected)"


def find_simulator() -> str | None:
    """KORVANE_SIM, then beside the library (build tree: <build>/sim; prefix: <prefix>/bin), then PATH."""
    if os.environ.get("KORVANE_SIM"):
        return os.environ["KORVANE_SIM"]
    lib = Path(korvane.library_path()).resolve()
    for cand in (lib.parent.parent / "sim" / "korvane-scope-sim", lib.parent.parent / "bin" / "korvane-scope-sim"):
        if cand.is_file():
            return str(cand)
    return shutil.which("korvane-scope-sim")


class Simulator:
    """korvane-scope-sim on a free loopback port, stopped on exit."""

    def __init__(self, exe: str, *signals: str, model: str = "MSO-CD1000") -> None:
        args = [exe, "--port", "0", "--model", model]
        for s in signals:
            args += ["--signal", s]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        assert self.proc.stdout is not None
        line = self.proc.stdout.readline()
        if not line.startswith("listening on 127.0.0.1:"):
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError(f"the simulator did not start ({line.strip() or 'no output'})")
        self.port = int(line.rsplit(":", 1)[1])
        self.resource = f"TCPIP0::127.0.0.1::{self.port}::SOCKET"

    def __enter__(self) -> Simulator:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.proc.terminate()
        self.proc.wait(timeout=10)
        if self.proc.stdout is not None:
            self.proc.stdout.close()


def assign(*settings: tuple[Any, str, Any]) -> None:
    """Sets (object, property, value) in order; a step of several settings is one lambda."""
    for owner, name, value in settings:
        setattr(owner, name, value)


class Steps:
    def __init__(self, mode: str) -> None:
        self.mode = mode
        self.summary: list[str] = []
        self.failed = 0

    def run(self, title: str, action: Callable[[], object]) -> bool:
        try:
            result = action()
            outcome = "ok"
        except korvane.Error as e:
            result, outcome = str(e), "FAILED"
            self.failed += 1
        print(f"  {title:<44} {outcome}")
        if result not in (None, ""):
            print(f"      {result}")
        self.summary.append(f"{self.mode:<10} {title:<44} {outcome}")
        return outcome == "ok"


def plot(traces: Traces, title: str, note: str, folder: Path, use_matplotlib: bool) -> list[Path]:
    """Writes the SVG (and with matplotlib a PNG too); returns the files written."""
    if use_matplotlib:
        try:
            import matplotlib  # type: ignore[import]
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt  # type: ignore[import]
        except ImportError:
            use_matplotlib = False
    if not use_matplotlib:
        path = folder / "waveforms.svg"
        path.write_text(svg_text(traces, title, note), encoding="utf-8")
        return [path]
    fig, ax = plt.subplots(figsize=(9.6, 5.4))
    for name, wf in traces:
        if wf.dx > 0:
            ax.plot(wf.t, wf.y, label=name, linewidth=1)
        else:
            ax.plot(wf.y, label=name, linewidth=1)
    ax.set_title(title + ("\n" + note if note else ""))
    ax.set_xlabel("Time (s)" if all(wf.dx > 0 for _, wf in traces) else "Sample (no time step in the record)")
    ax.set_ylabel("Voltage (V)")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="upper right")
    files = [folder / "waveforms.svg", folder / "waveforms.png"]
    for f in files:
        fig.savefig(f)
    plt.close(fig)
    return files


def session(mode: str, resource: str, options: korvane.ScopeOptions, folder: Path, points: int,
            use_matplotlib: bool) -> Steps:
    steps = Steps(mode)
    folder.mkdir(parents=True, exist_ok=True)
    for f in ("waveforms.csv", "waveforms.svg", "waveforms.png"):
        (folder / f).unlink(missing_ok=True)
    simulate = mode == "simulate"
    try:
        scope = korvane.Scope(resource, options=options)
    except korvane.Error as e:
        print(f"  {'open the session':<44} FAILED\n      {e}")
        steps.summary.append(f"{mode:<10} {'open the session':<44} FAILED")
        steps.failed += 1
        return steps
    with scope:
        ident = scope.identity
        steps.run("identify", lambda: f"{ident.instrument_manufacturer} {ident.instrument_model}, firmware "
                                      f"{ident.instrument_firmware_revision}{' (simulated)' if simulate else ''}")
        ch1, ch2 = scope.channels["Channel1"], scope.channels["Channel2"]
        steps.run("Channel1: on, 200 mV/div", lambda: assign((ch1, "enabled", True), (ch1, "scale", 0.2)))
        steps.run("Channel2: on, 500 mV/div", lambda: assign((ch2, "enabled", True), (ch2, "scale", 0.5)))
        steps.run("timebase 200 us/div", lambda: assign((scope.timebase, "horizontal_scale", 2e-4)))
        steps.run("timebase read back, s/div", lambda: f"{scope.timebase.horizontal_scale:g}")
        trig = scope.trigger
        steps.run("trigger: edge on Channel1 at 0 V, rising", lambda: assign(
            (trig, "type", korvane.IviScopeTriggerType.EDGE), (trig, "source", "Channel1"),
            (trig, "level", 0.0), (trig.edge, "slope", korvane.IviScopeTriggerSlope.POSITIVE)))
        traces: list[tuple[str, Waveform]] = []

        def read() -> str:
            scope.waveform.point_count = points
            # The first channel acquires; the second is fetched from the same acquisition.
            traces.append(("Channel1", ch1.read_waveform(points=points)))
            traces.append(("Channel2", ch2.fetch_waveform(points=points)))
            return ", ".join(f"{n}: {len(w)} points, x0 {w.x0:g} s, dx {w.dx:g} s" for n, w in traces)

        if steps.run(f"read Channel1 and Channel2 ({points} points)", read):
            model = ident.instrument_model
            rate = scope.acquisition.sample_rate
            title = f"Channel1, Channel2 \u2014 {model}, " + (engineering(rate, "Sa/s") if rate > 0 else "sample rate unknown") + \
                (" (simulated)" if simulate else "")
            (folder / "waveforms.csv").write_text(csv_text(traces), encoding="utf-8")
            written: list[Path] = [folder / "waveforms.csv"] + plot(traces, title, SIMULATED_NOTE if simulate else "", folder,
                                                        use_matplotlib)
        else:
            written = []
        ms = scope.measurements
        for name in ("Channel1", "Channel2"):
            def measure(item: korvane.MeasurementItem = ms[name]) -> str:
                F = korvane.Measurement
                parts = []
                for what, unit in ((F.FREQUENCY, "Hz"), (F.VOLTAGE_PEAK_TO_PEAK, "V"), (F.RISE_TIME, "s")):
                    v = item.read_waveform_measurement(what, 5000) if what == F.FREQUENCY else \
                        item.fetch_waveform_measurement(what)
                    parts.append(f"{what.name.lower()} " + ("no valid result" if abs(v) >= 9.9e37 else engineering(v, unit)))
                return ", ".join(parts) + (f" ({SIMULATED_NOTE})" if simulate else "")
            steps.run(f"measure {name}", measure)
        for path in written:
            print(f"  wrote {path}")
    return steps


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python3 -m korvane demo", description=(__doc__ or "").split("\n\n")[0])
    ap.add_argument("--out", default="demo-out", help="output folder (default demo-out)")
    ap.add_argument("--points", type=int, default=int(os.environ.get("KORVANE_DEMO_POINTS", "1000")))
    ap.add_argument("--simulator", help="korvane-scope-sim to start (default: found beside the library)")
    ap.add_argument("--no-matplotlib", action="store_true", help="write the plot as the korvane tool does")
    a = ap.parse_args(argv)
    out = Path(a.out)
    exe = a.simulator or find_simulator()
    if not exe:
        print("demo: korvane-scope-sim was not found; set KORVANE_SIM or pass --simulator", file=sys.stderr)
        return 1
    results: list[Steps] = []
    with Simulator(exe, "1:sine:1e3:0.5", "2:square:2e3:1") as sim:
        print(f"== 1. An MSO-CD1000 served by korvane-scope-sim on 127.0.0.1:{sim.port}")
        print("   (Channel1: 1 kHz sine, 0.5 V peak; Channel2: 2 kHz square, 1 V peak)")
        results.append(session("simulator", sim.resource, {"query_instrument_status": True}, out, a.points,
                               not a.no_matplotlib))
    print()
    print("== 2. The same in the driver's simulation mode (no instrument)")
    print("   Simulated data: placeholder waveforms (random values, no time step) and placeholder")
    print(f"   measurements. The plot in {out / 'simulated'} says so under its title.")
    results.append(session("simulate", "", {"simulate": True, "model": "MSO-CD1000"}, out / "simulated", a.points,
                           not a.no_matplotlib))
    print()
    print("== Summary")
    for r in results:
        for line in r.summary:
            print("  " + line)
    failed = sum(r.failed for r in results)
    if failed:
        print(f"demo: {failed} step(s) failed", file=sys.stderr)
        return 1
    print("demo: every step worked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
