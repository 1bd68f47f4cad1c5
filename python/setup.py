"""Installs the korvane package with pip, offline, with the system's setuptools:

    python3 -m pip install --no-build-isolation ./python     (from the source tree's top)

The object model (korvane/_generated.py and its types, _generated.pyi) is made while building, by the generator of the source
tree (../tools/codegen/gen_python.py, with the generators beside it) from its catalogue (../catalog),
as the CMake build makes it.
A tree without them (a copy of the assembled build-tree package, say) must bring
korvane/_generated.py along. The driver library is not part of the package: it is found as
korvane/_library.py describes (KORVANE_LIBRARY, beside the package, an install prefix's lib/,
the system's search).

The version is the one of project(Korvane VERSION ...) in ../CMakeLists.txt, written into
korvane/_version.py from korvane/_version.py.in as the CMake build writes it; a tree without
../CMakeLists.txt must bring korvane/_version.py along, as it brings korvane/_generated.py.
"""
import re
import subprocess
import sys
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
VERSION_FILE = HERE / "korvane" / "_version.py"


def project_version():
    """The version of the source tree's project() call, else the one korvane/_version.py holds."""
    cmake = HERE.parent / "CMakeLists.txt"
    if cmake.is_file():
        found = re.search(r"project\(\s*Korvane\s+VERSION\s+([0-9.]+)", cmake.read_text())
        if not found:
            raise SystemExit(f"korvane: no project(Korvane VERSION ...) in {cmake}")
        return found.group(1)
    if VERSION_FILE.is_file():
        found = re.search(r'__version__ = "([^"]+)"', VERSION_FILE.read_text())
        if found:
            return found.group(1)
    raise SystemExit("korvane: neither ../CMakeLists.txt nor korvane/_version.py is here; build from the source tree")


class BuildPyWithModel(build_py):
    def run(self):
        super().run()
        target = Path(self.build_lib) / "korvane" / "_generated.py"  # and _generated.pyi beside it
        generator = HERE.parent / "tools" / "codegen" / "gen_python.py"
        catalog = HERE.parent / "catalog"
        if generator.is_file() and catalog.is_dir():
            subprocess.run([sys.executable, str(generator), str(catalog), str(target)], check=True)
        elif not target.is_file():
            raise SystemExit("korvane: neither ../catalog with ../tools/codegen/gen_python.py nor "
                             "korvane/_generated.py is here; build from the source tree")
        template = HERE / "korvane" / "_version.py.in"
        if template.is_file():
            version_py = template.read_text().replace("@PROJECT_VERSION@", project_version())
            (Path(self.build_lib) / "korvane" / "_version.py").write_text(version_py)
        elif not (Path(self.build_lib) / "korvane" / "_version.py").is_file():
            raise SystemExit("korvane: neither korvane/_version.py.in nor korvane/_version.py is here")


setup(
    name="korvane",
    version=project_version(),
    description="Korvane oscilloscopes from Python, over the driver's C functions",
    # The distribution is named as the package it installs; the families are what users search for.
    keywords=["oscilloscope", "IVI", "IVI-Python", "Veltrane Instruments", "Avel", "Bormo", "Cadri", "Dovin", "Efrai",
              "Forsa"],
    packages=["korvane"],
    package_data={"korvane": ["py.typed", "_generated.pyi"]},
    python_requires=">=3.11",
    install_requires=["numpy"],
    cmdclass={"build_py": BuildPyWithModel},
)
