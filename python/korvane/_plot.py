"""CSV and SVG of waveforms, written as the korvane tool writes them (no plotting library)."""
from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy

from ._runtime import Waveform

Traces = Sequence[tuple[str, Waveform]]

_COLORS = ["#d4a017", "#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#8c564b"]
_PREFIXES = [(1e12, "p"), (1e9, "n"), (1e6, "\u00b5"), (1e3, "m"), (1, ""), (1e-3, "k"), (1e-6, "M"), (1e-9, "G")]


def _num(v: float) -> str:
    return f"{v:.10g}"


def _escape(s: str) -> str:
    return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def _prefix(magnitude: float) -> tuple[float, str]:
    if not (magnitude > 0) or not math.isfinite(magnitude):
        return 1, ""
    for scale, p in _PREFIXES:
        if magnitude * scale < 1000:
            return scale, p
    return 1, ""


def engineering(value: float, unit: str) -> str:
    """1000.02 Hz -> '1 kHz' (four significant digits)."""
    if not math.isfinite(value):
        return f"{_num(value)} {unit}"
    scale, p = _prefix(abs(value))
    return f"{value * scale:.4g} {p}{unit}"


def _nice_step(span: float, target: float) -> float:
    if not (span > 0) or not math.isfinite(span):
        return 1.0
    raw = span / target
    mag = 10 ** math.floor(math.log10(raw))
    f = raw / mag
    return float((1 if f < 1.5 else 2 if f < 3.5 else 5 if f < 7.5 else 10) * mag)


def _same_axis(traces: Traces) -> bool:
    first = traces[0][1]
    return all(len(t.y) == len(first.y) and t.x0 == first.x0 and t.dx == first.dx for _, t in traces)


def csv_text(traces: Traces) -> str:
    """traces: [(name, Waveform)]. One time column when all share an axis, else one each."""
    if not traces:
        return ""
    shared = _same_axis(traces)
    if len(traces) == 1:
        head = "time_s,volts"
    else:
        cols = []
        for k, (name, _) in enumerate(traces):
            if not shared or k == 0:
                cols.append(("" if shared else name + "_") + "time_s")
            cols.append(name + "_volts")
        head = ",".join(cols)
    lines = [head]
    rows = max(len(t.y) for _, t in traces)
    for r in range(rows):
        cells = []
        for k, (_, t) in enumerate(traces):
            if not shared or k == 0:
                cells.append(_num(t.x0 + r * t.dx) if r < len(t.y) else "")
            cells.append(_num(float(t.y[r])) if r < len(t.y) else "")
        lines.append(",".join(cells))
    return "\n".join(lines) + "\n"


def svg_text(traces: Traces, title: str, note: str = "") -> str:
    W, H, left, right, top, bottom = 960.0, 540.0, 90.0, 30.0, 60.0, 70.0
    pw, ph = W - left - right, H - top - bottom
    # A record without a time step (the driver's simulation makes such) is drawn over its
    # sample numbers instead.
    time_axis = bool(traces) and all(t.dx > 0 for _, t in traces)

    def xs_of(t: Waveform) -> Any:
        n = len(t.y)
        return t.x0 + t.dx * numpy.arange(n) if time_axis else numpy.arange(n, dtype=float)

    x0 = y0 = math.inf
    x1 = y1 = -math.inf
    for _, t in traces:
        if not len(t.y):
            continue
        xs = xs_of(t)
        x0, x1 = min(x0, xs[0]), max(x1, xs[-1])
        fin = t.y[numpy.isfinite(t.y)]
        if len(fin):
            y0, y1 = min(y0, float(fin.min())), max(y1, float(fin.max()))
    if not math.isfinite(x0) or not (x1 > x0):
        x0 = x0 if math.isfinite(x0) else 0.0
        x1 = x0 + 1
    if not math.isfinite(y0):
        y0, y1 = -1.0, 1.0
    if y1 - y0 < 1e-12:
        y0, y1 = y0 - 0.5, y1 + 0.5
    margin = (y1 - y0) * 0.05
    y0, y1 = y0 - margin, y1 + margin
    ystep = _nice_step(y1 - y0, 8)
    y0, y1 = math.floor(y0 / ystep) * ystep, math.ceil(y1 / ystep) * ystep
    xstep = _nice_step(x1 - x0, 10)
    xsc, xp = _prefix(max(abs(x0), abs(x1))) if time_axis else (1, "")
    ysc, yp = _prefix(max(abs(y0), abs(y1)))

    def X(x: float) -> float:
        return left + (x - x0) / (x1 - x0) * pw

    def Y(y: float) -> float:
        return top + (y1 - y) / (y1 - y0) * ph

    def tick(v: float, step: float, scale: float) -> str:
        k = round(v / step)
        return _num(0.0 if k == 0 else k * step * scale)

    s = ['<?xml version="1.0" encoding="UTF-8"?>',
         f'<svg xmlns="http://www.w3.org/2000/svg" width="{W:.1f}" height="{H:.1f}" viewBox="0 0 {W:.1f} {H:.1f}" '
         'font-family="sans-serif" font-size="13">',
         f"<title>{_escape(title)}</title>",
         '<rect width="100%" height="100%" fill="white"/>',
         f'<text x="{W / 2:.1f}" y="30" text-anchor="middle" font-size="17" font-weight="bold">{_escape(title)}</text>']
    if note:
        s.append(f'<text x="{W / 2:.1f}" y="50" text-anchor="middle" font-size="13" fill="#b00000">{_escape(note)}</text>')
    s.append('<g stroke="#dddddd" stroke-width="1">')
    labels = []
    x = math.ceil(x0 / xstep) * xstep
    while x <= x1 + xstep * 1e-6:
        s.append(f'<line x1="{X(x):.1f}" y1="{top:.1f}" x2="{X(x):.1f}" y2="{top + ph:.1f}"/>')
        labels.append(f'<text x="{X(x):.1f}" y="{top + ph + 18:.1f}" text-anchor="middle">{tick(x, xstep, xsc)}</text>')
        x += xstep
    y = y0
    while y <= y1 + ystep * 1e-6:
        s.append(f'<line x1="{left:.1f}" y1="{Y(y):.1f}" x2="{left + pw:.1f}" y2="{Y(y):.1f}"/>')
        labels.append(f'<text x="{left - 8:.1f}" y="{Y(y) + 4:.1f}" text-anchor="end">{tick(y, ystep, ysc)}</text>')
        y += ystep
    s.append("</g>")
    s.append(f'<rect x="{left:.1f}" y="{top:.1f}" width="{pw:.1f}" height="{ph:.1f}" fill="none" stroke="black"/>')
    s.append("<g>\n" + "\n".join(labels) + "\n</g>")
    xlabel = f"Time ({xp}s)" if time_axis else "Sample (no time step in the record)"
    s.append(f'<text x="{left + pw / 2:.1f}" y="{H - 20:.1f}" text-anchor="middle">{xlabel}</text>')
    s.append(f'<text transform="translate(24 {top + ph / 2:.1f}) rotate(-90)" text-anchor="middle">Voltage ({yp}V)</text>')
    legend = []
    columns = int(pw) * 2
    for k, (name, t) in enumerate(traces):
        color = _COLORS[k % len(_COLORS)]
        xs, ys = xs_of(t), numpy.asarray(t.y, dtype=float)
        n = len(ys)
        if n > columns * 2:
            # Long records: the lowest and highest point of each pixel column keep the envelope.
            idx: list[int] = []
            for c in range(columns):
                b, e = n * c // columns, n * (c + 1) // columns
                seg = ys[b:e]
                lo, hi = b + int(numpy.argmin(seg)), b + int(numpy.argmax(seg))
                idx += [min(lo, hi), max(lo, hi)]
            xs, ys = xs[idx], ys[idx]
        ok = numpy.isfinite(ys)
        points = " ".join(f"{X(a):.1f},{Y(b):.1f}" for a, b in zip(xs[ok], ys[ok]))
        s.append(f'<polyline fill="none" stroke="{color}" stroke-width="1.5" points="{points} "/>')
        ly = top + 18 + 18 * k
        if k == 0:
            legend.append(f'<rect x="{left + pw - 138:.1f}" y="{top + 4:.1f}" width="130" height="{18 * len(traces) + 6:.1f}" '
                          'fill="white" fill-opacity="0.85"/>')
        legend.append(f'<line x1="{left + pw - 130:.1f}" y1="{ly - 4:.1f}" x2="{left + pw - 105:.1f}" y2="{ly - 4:.1f}" '
                      f'stroke="{color}" stroke-width="3"/>')
        legend.append(f'<text x="{left + pw - 98:.1f}" y="{ly:.1f}">{_escape(name)}</text>')
    s += legend
    s.append("</svg>")
    return "\n".join(s) + "\n"
