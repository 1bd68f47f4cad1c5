"""`python3 -m korvane demo`: every step ok, and the files it says it wrote are there: the CSV with
the requested points of both channels, the plot as the korvane tool writes it (an SVG with both
traces) or, with matplotlib, drawn by matplotlib."""
import csv
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

SVG = "{http://www.w3.org/2000/svg}"
POINTS = 400


def run_demo(folder, *extra):
    p = subprocess.run([sys.executable, "-m", "korvane", "demo", "--out", str(folder), "--points", str(POINTS), *extra],
                       capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL)
    assert p.returncode == 0, p.stdout + p.stderr
    assert "FAILED" not in p.stdout and p.stdout.count(" ok\n") >= 16, p.stdout
    return p.stdout


def test_demo_writes_the_tools_csv_and_svg(tmp_path):
    out = run_demo(tmp_path, "--no-matplotlib")
    assert "MSO-CD1000, firmware" in out and "(simulated)" in out
    with open(tmp_path / "waveforms.csv", newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["time_s", "Channel1_volts", "Channel2_volts"] and len(rows) == POINTS + 1
    peak = max(abs(float(r[1])) for r in rows[1:])
    assert 0.45 < peak <= 0.5  # the 0.5 V sine
    for folder, simulated in ((tmp_path, False), (tmp_path / "simulated", True)):
        root = ET.parse(folder / "waveforms.svg").getroot()
        assert len(root.findall(f".//{SVG}polyline")) == 2
        title = root.find(f"{SVG}title").text
        assert "MSO-CD1000" in title and ("(simulated)" in title) == simulated
    assert not (tmp_path / "waveforms.png").exists()


def test_demo_plots_with_matplotlib_when_installed(tmp_path):
    pytest.importorskip("matplotlib")
    run_demo(tmp_path)
    for name in ("waveforms.csv", "waveforms.svg", "waveforms.png"):
        assert os.path.getsize(tmp_path / name) > 1000
    with open(tmp_path / "waveforms.png", "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
