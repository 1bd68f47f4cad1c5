"""`pip install --no-build-isolation ./python` offline, from a copy of the source tree: the
installed package carries the object model made from the catalogue, and loads the library named
by KORVANE_LIBRARY."""
import os
import re
import shutil
import subprocess
import sys

import korvane


def test_pip_install_from_the_source_tree(tmp_path):
    src = os.environ["KORVANE_SOURCE_DIR"]
    tree = tmp_path / "src"
    shutil.copytree(os.path.join(src, "python"), tree / "python", ignore=shutil.ignore_patterns("build", "*.egg-info"))
    shutil.copytree(os.path.join(src, "catalog"), tree / "catalog")
    shutil.copy(os.path.join(src, "CMakeLists.txt"), tree)  # the version's one place
    # The generator and the ones it builds on (the flat C API's names come from gen_ansic.py).
    shutil.copytree(os.path.join(src, "tools", "codegen"), tree / "tools" / "codegen",
                    ignore=shutil.ignore_patterns("__pycache__", "*.cmake", "*.in"))
    p = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps", "--no-index",
                        "--target", str(tmp_path / "site"), "./python"],
                       cwd=tree, capture_output=True, text=True, timeout=300)
    assert p.returncode == 0, p.stdout + p.stderr
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "site"), KORVANE_LIBRARY=korvane.library_path())
    code = ("import korvane; s = korvane.Scope(simulate=True); print(korvane.__file__, s.identity.instrument_model,"
            " korvane.library_path(), korvane.__version__); s.close()")
    p = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert p.returncode == 0, p.stderr
    path, model, lib, version = p.stdout.split()
    assert path.startswith(str(tmp_path / "site")) and model and lib == korvane.library_path()
    # pip read the version where the CMake build reads it.
    assert version == korvane.__version__
    # The distribution is named as the package, typed, and found by the families' names.
    site = tmp_path / "site"
    assert (site / "korvane" / "py.typed").is_file() and (site / "korvane" / "_generated.pyi").is_file()
    meta = (site / f"korvane-{version}.dist-info" / "METADATA").read_text()
    assert "\nName: korvane\n" in meta and f"\nVersion: {version}\n" in meta
    keywords = re.search(r"^Keywords: (.*)$", meta, re.M).group(1).split(",")
    assert {"Avel", "Bormo", "Cadri", "Dovin", "Efrai", "Forsa"} <= set(keywords)
