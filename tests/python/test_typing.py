"""The package's type hints: `mypy --strict` (Debian's) passes over the package as built and over
a client written against it, and finds the mistakes a client can make; the client also runs
against the simulator, so what it was checked for is what the package does."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import korvane

HERE = Path(__file__).resolve().parent
PACKAGE = Path(korvane.__file__).resolve().parent


def mypy(*targets):
    env = dict(os.environ, MYPYPATH=str(PACKAGE.parent))
    p = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull, "--no-color-output",
                        *map(str, targets)], capture_output=True, text=True, env=env, timeout=600, cwd=PACKAGE.parent)
    if "No module named mypy" in p.stderr:
        pytest.fail("mypy is missing: scripts/bootstrap installs Debian's mypy")
    return p


def test_package_is_typed():
    assert (PACKAGE / "py.typed").is_file() and (PACKAGE / "py.typed").stat().st_size == 0
    assert (PACKAGE / "_generated.pyi").is_file()


def test_mypy_strict_passes_over_the_package_and_a_client():
    p = mypy(PACKAGE, HERE / "typed_client.py")
    assert p.returncode == 0 and "Success" in p.stdout, p.stdout + p.stderr


def test_mypy_finds_a_clients_mistakes(tmp_path):
    wrong = {
        "scope.timebase.horizontal_scale = 'fast'": "str",
        "scope.channels[1].offset.upper()": "upper",
        "scope.ivi_utility.instrument_model = 'X'": "read-only",
        "korvane.Scope('x', options={'simulte': True})": "options",
        "scope.channels[1].read_waveform(points='many')": "points",
        "n: str = scope.ivi_direct_io.read_bytes(4)": "bytes",
        "scope.trigger.edge.slope = 1.5": "IviScopeTriggerSlope",
        "e: int = scope.ivi_utility.error_query().code": "None",
    }
    client = tmp_path / "wrong_client.py"
    client.write_text("import korvane\nscope = korvane.Scope('x')\n" + "\n".join(wrong) + "\n")
    p = mypy(client)
    flagged = {int(m.group(1)) for m in re.finditer(r"wrong_client\.py:(\d+): error:", p.stdout)}
    assert flagged == set(range(3, 3 + len(wrong))), p.stdout
    lines = p.stdout.splitlines()
    for k, word in enumerate(wrong.values(), start=3):
        assert any(f"wrong_client.py:{k}: error:" in line and word in line for line in lines), (k, word, p.stdout)


def test_the_checked_client_runs(sim):
    p = subprocess.run([sys.executable, str(HERE / "typed_client.py"), sim.resource], capture_output=True, text=True,
                       timeout=120)
    assert p.returncode == 0, p.stderr
    out = p.stdout.splitlines()
    assert out[0].startswith("Veltrane Instruments MSO-CD1000 (of ") and out[1] == "no error"
    assert out[2].startswith("Veltrane Instruments,MSO-CD1000,") and out[3] == "DC"
    assert out[4] == "['Channel1', 'Channel2']"
    assert float(out[5].split()[0]) == pytest.approx(1.0, abs=0.05)  # the simulator's 0.5 V peak sine
