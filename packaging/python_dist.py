"""Builds the korvane wheel and sdist offline from a linux build tree, with Debian's
python3-build and the system's setuptools (no build isolation, nothing downloaded).

The package is staged from python/ as it stands (so modules and files added there come along)
plus the build tree's generated object model and version module, which the sdist must carry:
it is built away from the catalogue and the CMake project the setup script reads otherwise.
The wheel is then built from the sdist, so an sdist that could not build is caught here.

Usage: python_dist.py <source dir> <linux build dir> <output dir>
"""
import shutil
import subprocess
import sys
from pathlib import Path


def main(source, build, out):
    source, build, out = Path(source), Path(build), Path(out)
    generated = build / "python" / "korvane"
    for name in ("_generated.py", "_version.py"):
        if not (generated / name).is_file():
            sys.exit(f"python_dist: {generated / name} is missing; build the korvane_python target first")
    stage = build / "python-dist" / "korvane"
    shutil.rmtree(stage.parent, ignore_errors=True)
    shutil.copytree(source / "python", stage, ignore=shutil.ignore_patterns("CMakeLists.txt", "__pycache__", "*.pyc"))
    for name in ("_generated.py", "_version.py"):
        shutil.copy2(generated / name, stage / "korvane" / name)
    if not any(stage.glob("README*")):
        shutil.copy2(source / "README.md", stage / "README.md")  # the sdist's description
    out.mkdir(parents=True, exist_ok=True)
    for old in list(out.glob("korvane-*.whl")) + list(out.glob("korvane-*.tar.gz")):
        old.unlink()
    subprocess.run([sys.executable, "-m", "build", "--no-isolation", "--outdir", str(out), str(stage)], check=True)


if __name__ == "__main__":
    main(*sys.argv[1:4])
