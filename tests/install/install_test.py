"""The install contract, from a fresh prefix:

- `cmake --install --strip` gives the public headers only, each compiling on its own; a library
  without debug information; programs that find the library from wherever the prefix lies; the
  man pages and the bash completion; the Python package, which finds the library in the prefix.
- The README's examples, as printed there, build through pkg-config and through find_package
  (without the user choosing a language standard) and run against the simulator: the resource
  comes from argv, and a failure prints the driver's error text.

Usage: install_test.py <build dir> <README.md> <c++ compiler> <c compiler> <cmake>
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sim_process import SimProcess  # noqa: E402

BUILD = README = CXX = CC = CMAKE = None
PREFIX = None


class Example:
    """A README example: its section heading, the code fence's language, how to compile it."""

    def __init__(self, heading, fence, suffix, compiler, flags, cmake_language):
        self.heading, self.fence, self.suffix = heading, fence, suffix
        self.compiler, self.flags, self.cmake_language = compiler, flags, cmake_language

    def source(self):
        with open(README, encoding="utf-8") as f:
            text = f.read()
        section = text.split(f"## {self.heading}", 1)[1]
        return re.search(rf"```{self.fence}\n(.*?)```", section, re.S).group(1)


# One line per README example.
EXAMPLES = [
    Example("Using the driver from C++ (COM interfaces)", "cpp", ".cpp", lambda: CXX, ["-std=c++20"], "CXX"),
    Example("Using the driver from C (IVI-C)", "c", ".c", lambda: CC, [], "C"),
    Example("Using the driver from C (IVI-ANSI-C)", "c", ".c", lambda: CC, ["-std=c99", "-pedantic"], "C"),
]


def sh(*args, env=None, cwd=None, timeout=600):
    p = subprocess.run(args, capture_output=True, text=True, env=env, cwd=cwd, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def clean_env():
    """No help from the build tree: the loader and pkg-config see the prefix only."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "CMAKE_PREFIX_PATH")}
    env["PKG_CONFIG_PATH"] = os.path.join(PREFIX, "lib", "pkgconfig")
    return env


def Simulator() -> SimProcess:
    return SimProcess(os.path.join(PREFIX, "bin", "korvane-scope-sim"), "--signal", "1:sine:1e3:0.5")


class Installed(unittest.TestCase):
    def test_layout(self):
        for path in ["bin/korvane", "bin/korvane-scope-sim", "include/Korvane.h", "include/kvscope.h", "include/korvane/KorvaneCom.h",
                     "include/korvane/ComHelpers.h", "lib/cmake/Korvane/KorvaneConfig.cmake",
                     "lib/pkgconfig/korvane.pc", "lib/pkgconfig/korvane-static.pc", "lib/libkorvane.a",
                     "share/man/man1/korvane.1", "share/man/man1/korvane-scope-sim.1",
                     "share/bash-completion/completions/korvane", "share/bash-completion/completions/korvane-scope-sim"]:
            with self.subTest(path=path):
                self.assertTrue(os.path.exists(os.path.join(PREFIX, path)), path)
        with open(os.path.join(PREFIX, "share/man/man1/korvane.1")) as f:
            page = f.read()
        self.assertRegex(page, r"^\.TH KORVANE 1")
        self.assertIn("korvane help", page)
        self.assertIn(".B save", page)

    def test_libraries_are_stripped(self):
        for name in ("libkorvane.so", "libkorvane.a"):
            with self.subTest(library=name):
                rc, out, err = sh("readelf", "-S", "-W", os.path.realpath(os.path.join(PREFIX, "lib", name)))
                self.assertEqual(rc, 0, err)
                self.assertIn(".text", out)
                self.assertNotIn(".debug_info", out)

    def test_each_header_compiles_alone(self):
        include = os.path.join(PREFIX, "include")
        headers = sorted(os.path.relpath(os.path.join(d, f), include)
                         for d, _, files in os.walk(include) for f in files if f.endswith(".h"))
        self.assertIn("korvane/KorvaneCom.h", headers)
        for h in headers:
            # The C API's headers stand at the top; they must compile as C too.
            for compiler, suffix, std in [(CXX, ".cpp", "-std=c++20")] + ([(CC, ".c", "-std=c11")] if "/" not in h else []):
                with self.subTest(header=h, language=suffix):
                    rc, _, err = self.compile_alone(h, include, compiler, suffix, std)
                    self.assertEqual(rc, 0, err)

    @staticmethod
    def compile_alone(header, include, compiler, suffix, std):
        with tempfile.NamedTemporaryFile("w", suffix=suffix) as tu:
            tu.write(f"#include <{header}>\n")
            tu.flush()
            return sh(compiler, std, "-fsyntax-only", "-Wall", "-Werror", "-I", include, tu.name, timeout=300)

    def test_programs_find_the_library_wherever_the_prefix_lies(self):
        # A copy of the prefix elsewhere: the run path is relative to the program.
        with tempfile.TemporaryDirectory() as moved:
            copy = os.path.join(moved, "p")
            shutil.copytree(PREFIX, copy, symlinks=True)
            for args in (["--version"], ["idn", "--options", "Simulate=true"]):
                rc, out, err = sh(os.path.join(copy, "bin", "korvane"), *args, env=clean_env())
                self.assertEqual(rc, 0, err)
            rc, out, err = sh(os.path.join(copy, "bin", "korvane"), "sim", "--list-models", env=clean_env())
            self.assertEqual(rc, 0, err)
            self.assertIn("MSO-CD1000", out)


class ReadmeExamples(unittest.TestCase):
    def build_pkg_config(self, example, folder, static=False):
        src = os.path.join(folder, "app" + example.suffix)
        with open(src, "w") as f:
            f.write(example.source())
        rc, flags, err = sh("pkg-config", "--cflags", "--libs", "korvane-static" if static else "korvane", env=clean_env())
        self.assertEqual(rc, 0, err)
        exe = os.path.join(folder, "app")
        rc, _, err = sh(example.compiler(), *example.flags, src, "-o", exe, *flags.split(), env=clean_env())
        self.assertEqual(rc, 0, err)
        return exe

    def build_find_package(self, example, folder, static=False):
        src = os.path.join(folder, "app" + example.suffix)
        with open(src, "w") as f:
            f.write(example.source())
        # No language standard here: the exported target brings the one its headers need.
        with open(os.path.join(folder, "CMakeLists.txt"), "w") as f:
            f.write(f"cmake_minimum_required(VERSION 3.25)\nproject(app LANGUAGES {example.cmake_language})\n"
                    f"find_package(Korvane REQUIRED)\nadd_executable(app app{example.suffix})\n"
                    f"target_link_libraries(app PRIVATE Korvane::korvane{'_static' if static else ''})\n")
        build = os.path.join(folder, "build")
        rc, out, err = sh(CMAKE, "-S", folder, "-B", build, "-G", "Ninja", f"-DCMAKE_PREFIX_PATH={PREFIX}",
                          f"-DCMAKE_{example.cmake_language}_COMPILER={example.compiler()}", env=clean_env())
        self.assertEqual(rc, 0, out + err)
        rc, out, err = sh(CMAKE, "--build", build, env=clean_env())
        self.assertEqual(rc, 0, out + err)
        return os.path.join(build, "app")

    def test_examples_build_both_ways_and_run(self):
        for example in EXAMPLES:
            for how in (self.build_pkg_config, self.build_find_package):
                with self.subTest(example=example.heading, build=how.__name__), \
                        tempfile.TemporaryDirectory() as folder:
                    exe = how(example, folder)
                    with Simulator() as res:
                        rc, out, err = sh(exe, res, env=clean_env(), timeout=120)
                    self.assertEqual(rc, 0, out + err)
                    frequency = float(re.search(r"([\d.e+-]+) Hz", out).group(1))
                    self.assertAlmostEqual(frequency, 1e3, delta=20)
                    # Nobody on the port: the driver's own words on stderr, not a bare status.
                    rc, out, err = sh(exe, "TCPIP0::127.0.0.1::1::SOCKET", env=clean_env(), timeout=120)
                    self.assertNotEqual(rc, 0)
                    self.assertRegex(err, r"Korvane: ")

    def test_c_example_links_the_static_library(self):
        example = EXAMPLES[2]  # IVI-ANSI-C: a C99 program, so the C++ run time must come with the library
        for how in (self.build_pkg_config, self.build_find_package):
            with self.subTest(build=how.__name__), tempfile.TemporaryDirectory() as folder:
                exe = how(example, folder, static=True)
                rc, out, err = sh("readelf", "-d", exe)
                self.assertEqual(rc, 0, err)
                self.assertNotIn("libkorvane", out)
                with Simulator() as res:
                    rc, out, err = sh(exe, res, env=clean_env(), timeout=120)
                self.assertEqual(rc, 0, out + err)
                self.assertAlmostEqual(float(re.search(r"([\d.e+-]+) Hz", out).group(1)), 1e3, delta=20)


class PythonPackage(unittest.TestCase):
    """The package in the prefix's Python path finds the prefix's library, also in a moved copy,
    and the README's Python example runs through it against the simulator."""

    def test_readme_example_runs_from_the_prefix(self):
        with open(README, encoding="utf-8") as f:
            section = f.read().split("## Using the driver from Python", 1)[1]
        code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
        python = os.environ.get("KORVANE_TEST_PYTHON", "/usr/bin/python3")
        with tempfile.TemporaryDirectory() as moved:
            copy = os.path.join(moved, "p")
            shutil.copytree(PREFIX, copy, symlinks=True)
            env = dict(clean_env(), PYTHONPATH=os.path.join(copy, "lib", "python3", "dist-packages"))
            env.pop("KORVANE_LIBRARY", None)
            rc, out, err = sh(python, "-c", "import korvane; print(korvane.library_path())", env=env, cwd=moved)
            self.assertEqual(rc, 0, err)
            self.assertEqual(out.strip(), os.path.join(copy, "lib", "libkorvane.so"))
            with Simulator() as res:
                rc, out, err = sh(python, "-c", code, res, env=env, cwd=moved, timeout=120)
            self.assertEqual(rc, 0, out + err)
            self.assertAlmostEqual(float(re.search(r"([\d.]+) Hz", out).group(1)), 1e3, delta=20)


if __name__ == "__main__":
    BUILD, README, CXX, CC, CMAKE = sys.argv[1:6]
    with tempfile.TemporaryDirectory() as prefix:
        PREFIX = os.path.join(prefix, "korvane")
        rc, out, err = sh(CMAKE, "--install", BUILD, "--prefix", PREFIX, "--strip")
        if rc != 0:
            sys.exit(f"install failed:\n{out}\n{err}")
        result = unittest.main(argv=sys.argv[:1], verbosity=2, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
