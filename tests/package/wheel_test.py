"""The wheel and sdist: built offline from the build tree, named as the package imports, at the
project's version; the sdist carries what it needs to build away from the source tree; the
wheel installs into a fresh virtual environment without the network, imports there and finds
the driver library through the system's search, as an installed library is found.

Usage: wheel_test.py <build dir> <source dir>   (run by the interpreter that has python3-build)
"""
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

BUILD = SOURCE = DIST = VERSION = None


def sh(*args, env=None, cwd=None, timeout=600):
    p = subprocess.run(args, capture_output=True, text=True, env=env, cwd=cwd, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def built(suffix):
    found = [f for f in os.listdir(DIST) if f.endswith(suffix)]
    assert len(found) == 1, found
    return os.path.join(DIST, found[0])


class Distributions(unittest.TestCase):
    def test_names_and_contents(self):
        wheel, sdist = built(".whl"), built(".tar.gz")
        self.assertEqual(os.path.basename(wheel), f"korvane-{VERSION}-py3-none-any.whl")
        self.assertEqual(os.path.basename(sdist), f"korvane-{VERSION}.tar.gz")
        names = zipfile.ZipFile(wheel).namelist()
        for module in ("korvane/__init__.py", "korvane/_generated.py", "korvane/_version.py", "korvane/_library.py"):
            with self.subTest(wheel=module):
                self.assertIn(module, names)
        metadata = zipfile.ZipFile(wheel).read(f"korvane-{VERSION}.dist-info/METADATA").decode()
        self.assertRegex(metadata, r"(?m)^Name: korvane$")
        self.assertRegex(metadata, rf"(?m)^Version: {re.escape(VERSION)}$")
        with tarfile.open(sdist) as t:
            members = t.getnames()
        for member in ("setup.py", "pyproject.toml", "korvane/_generated.py", "korvane/_version.py"):
            with self.subTest(sdist=member):
                self.assertIn(f"korvane-{VERSION}/{member}", members)

    def test_installs_into_a_venv_and_finds_the_library(self):
        with tempfile.TemporaryDirectory() as venv:
            # The system's site packages give numpy; --no-index keeps pip off the network.
            rc, _, err = sh(sys.executable, "-m", "venv", "--system-site-packages", venv)
            self.assertEqual(rc, 0, err)
            python = os.path.join(venv, "bin", "python")
            rc, out, err = sh(python, "-m", "pip", "install", "--no-index", "--no-cache-dir", built(".whl"))
            self.assertEqual(rc, 0, out + err)
            # The library as a package installs it: on the loader's path, under its SONAME only.
            libdir = os.path.join(venv, "libdir")
            os.mkdir(libdir)
            os.symlink(os.path.realpath(os.path.join(BUILD, "src", "libkorvane.so.2")), os.path.join(libdir, "libkorvane.so.2"))
            env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "KORVANE_LIBRARY")}
            env["LD_LIBRARY_PATH"] = libdir
            rc, out, err = sh(python, "-c", "import korvane; print(korvane.__file__); print(korvane.__version__); "
                              "print(korvane.library_path())", env=env, cwd=venv)
            self.assertEqual(rc, 0, err)
            module, version, library = out.split()
            self.assertTrue(module.startswith(os.path.join(venv, "lib")), module)
            self.assertEqual(version, VERSION)
            self.assertEqual(library, "libkorvane.so.2")


if __name__ == "__main__":
    BUILD, SOURCE = sys.argv[1:3]
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        VERSION = re.search(r"project\(Korvane VERSION ([0-9.]+)", f.read()).group(1)
    try:
        import build  # noqa: F401  (python3-build)
    except ImportError:
        print("SKIP: python3-build is not installed (scripts/bootstrap installs it)")
        sys.exit(77)
    with tempfile.TemporaryDirectory() as dist:
        DIST = dist
        rc, out, err = sh(sys.executable, os.path.join(SOURCE, "packaging", "python_dist.py"), SOURCE, BUILD, dist)
        if rc != 0:
            sys.exit(f"python_dist failed:\n{out}\n{err}")
        result = unittest.main(argv=sys.argv[:1], verbosity=2, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
