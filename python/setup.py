"""Installs the korvane package with pip, offline, with the system's setuptools:

    python3 -m pip install --no-build-isolation ./python     (from the source tree's top)

The object model (korvane/_generated.py) is made while building, by the generator of the source
tree (../tools/codegen/gen_python.py) from its catalogue (../catalog), as the CMake build makes it.
A tree without them (a copy of the assembled build-tree package, say) must bring
korvane/_generated.py along. The driver library is not part of the package: it is found as
korvane/_library.py describes (KORVANE_LIBRARY, beside the package, an install prefix's lib/,
the system's search).
"""
import subprocess
import sys
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent


class BuildPyWithModel(build_py):
    def run(self):
        super().run()
        target = Path(self.build_lib) / "korvane" / "_generated.py"
        generator = HERE.parent / "tools" / "codegen" / "gen_python.py"
        catalog = HERE.parent / "catalog"
        if generator.is_file() and catalog.is_dir():
            subprocess.run([sys.executable, str(generator), str(catalog), str(target)], check=True)
        elif not target.is_file():
            raise SystemExit("korvane: neither ../catalog with ../tools/codegen/gen_python.py nor "
                             "korvane/_generated.py is here; build from the source tree")


setup(
    name="korvane",
    version="2.3.9",
    description="Korvane oscilloscopes from Python, over the driver's C functions",
    packages=["korvane"],
    python_requires=">=3.11",
    install_requires=["numpy"],
    cmdclass={"build_py": BuildPyWithModel},
)
