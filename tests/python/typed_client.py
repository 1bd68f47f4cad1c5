"""A client of the korvane package written against its type hints: `mypy --strict` checks it
(test_typing.py) and the same test runs it against the simulator. Usage: typed_client.py RESOURCE"""
from __future__ import annotations

import sys

import numpy
import numpy.typing as npt

import korvane


def peak_to_peak(channel: korvane.ChannelItem, points: int) -> float:
    wf: korvane.Waveform = channel.read_waveform(points=points)
    samples: npt.NDArray[numpy.float64] = wf.y
    return float(samples.max() - samples.min())


def describe(scope: korvane.Scope) -> list[str]:
    utility: korvane.IviUtility = scope.ivi_utility
    models: tuple[str, ...] = utility.supported_instrument_models
    lines = [f"{utility.instrument_manufacturer} {utility.instrument_model} (of {len(models)} models)"]
    entry: korvane.ErrorQueryResult | None = utility.error_query()
    lines.append("no error" if entry is None else f"{entry.code} {entry.message}")
    return lines


def main(resource: str) -> int:
    options: korvane.ScopeOptions = {"query_instrument_status": True, "cache": True}
    with korvane.Scope(resource, id_query=True, reset=False, options=options) as scope:
        scope.timebase.horizontal_scale = 2e-4
        channels: korvane.ChannelCollection = scope.channels
        first = channels[korvane.ChannelName.CHANNEL1]
        first.coupling = korvane.IviScopeVerticalCoupling.DC
        coupling: korvane.IviScopeVerticalCoupling = first.coupling
        names = [channel.name for channel in (channels[1], scope.channels_item("Channel2"))]
        direct: korvane.IviDirectIo = scope.ivi_direct_io
        direct.io_timeout_ms = 3000
        idn: str = direct.query("*IDN?")
        print(*describe(scope), idn, coupling.name, names, sep="\n")
        print(f"{peak_to_peak(first, 1000):.3f} Vpp")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
