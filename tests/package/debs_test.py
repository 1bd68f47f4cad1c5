"""The Debian packages of the build tree, as a user of a Debian machine meets them:

- cpack makes the four packages at the project's version, each holding its own files and no
  other's, with the library's dependencies read from the binaries and the packages' dependencies
  on each other at this exact version;
- lintian reports no errors;
- extracted into a scratch root (dpkg-deb -x), the tool and the simulator run from it, the
  README's C example builds there through pkg-config and through find_package and measures the
  simulator, and the Python package imports and finds the packaged library;
- installed on this machine by apt (as root, and only where none of them is installed already:
  a user's installation is never touched), as a user gets them: the tool, the README's C, C++ and
  Python examples from the system's paths, then removed again with nothing of theirs left.

Usage: debs_test.py <build dir> <source dir> <c compiler> <cmake>
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sim_process import SimProcess  # noqa: E402

BUILD = SOURCE = CC = CMAKE = None
DEBS = {}  # package name -> path
ROOT = None  # the packages extracted together
VERSION = None


def sh(*args, env=None, cwd=None, timeout=600):
    p = subprocess.run(args, capture_output=True, text=True, env=env, cwd=cwd, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def root_env():
    """Only the scratch root: the loader finds the packaged library in its /usr/lib."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "CMAKE_PREFIX_PATH", "PYTHONPATH", "KORVANE_LIBRARY")}
    env["LD_LIBRARY_PATH"] = os.path.join(ROOT, "usr", "lib")
    env["PKG_CONFIG_PATH"] = os.path.join(ROOT, "usr", "lib", "pkgconfig")
    return env


def field(deb, name):
    rc, out, err = sh("dpkg-deb", "-f", deb, name)
    assert rc == 0, err
    return out.strip()


def contents(deb):
    rc, out, err = sh("dpkg-deb", "-c", deb)
    assert rc == 0, err
    return [line.split(None, 5)[5].split(" -> ")[0].lstrip(".") for line in out.splitlines()]


def Simulator() -> SimProcess:
    return SimProcess(os.path.join(ROOT, "usr", "bin", "korvane-scope-sim"), "--signal", "1:sine:1e3:0.5", env=root_env())


class Packages(unittest.TestCase):
    def test_each_package_holds_its_own_files(self):
        expected = {
            "libkorvane2": [r"/usr/lib/libkorvane\.so\.2$", r"/usr/lib/libkorvane\.so\.2\.\d+\.\d+$",
                            r"/usr/share/doc/libkorvane2/copyright$", r"/usr/share/doc/libkorvane2/changelog\.gz$"],
            "libkorvane-dev": [r"/usr/lib/libkorvane\.so$", r"/usr/include/Korvane\.h$",
                               r"/usr/include/korvane/KorvaneCom\.h$", r"/usr/lib/cmake/Korvane/KorvaneConfig\.cmake$",
                               r"/usr/lib/pkgconfig/korvane\.pc$", r"/usr/lib/libkorvane\.a$",
                               r"/usr/lib/pkgconfig/korvane-static\.pc$"],
            "korvane-tools": [r"/usr/bin/korvane$", r"/usr/bin/korvane-scope-sim$", r"/usr/share/man/man1/korvane\.1\.gz$",
                              r"/usr/share/man/man1/korvane-scope-sim\.1\.gz$",
                              r"/usr/share/bash-completion/completions/korvane$", r"/usr/share/korvane/trace\.xslt$",
                              r"/usr/share/korvane/panel/index\.html$", r"/usr/share/korvane/panel/panel\.js$"],
            "python3-korvane": [r"/usr/lib/python3/dist-packages/korvane/__init__\.py$",
                                r"/usr/lib/python3/dist-packages/korvane/_generated\.py$"],
        }
        # What must stay out of a package: the library outside libkorvane2, headers outside -dev,
        # programs outside the tools, uncompressed man pages anywhere.
        forbidden = {
            "libkorvane2": [r"/usr/include/", r"/usr/bin/", r"\.so$", r"/dist-packages/"],
            "libkorvane-dev": [r"\.so\.2", r"/usr/bin/", r"/dist-packages/"],
            "korvane-tools": [r"/usr/lib/lib", r"/usr/include/", r"/dist-packages/", r"\.1$"],
            "python3-korvane": [r"/usr/lib/lib", r"/usr/include/", r"/usr/bin/", r"__pycache__"],
        }
        for package, patterns in expected.items():
            files = contents(DEBS[package])
            for pattern in patterns:
                with self.subTest(package=package, expect=pattern):
                    self.assertTrue(any(re.search(pattern, f) for f in files), "\n".join(files))
            for pattern in forbidden[package]:
                with self.subTest(package=package, forbid=pattern):
                    self.assertFalse([f for f in files if re.search(pattern, f)])

    def test_versions_and_dependencies(self):
        for package, deb in DEBS.items():
            with self.subTest(package=package):
                self.assertEqual(field(deb, "Version"), VERSION)
                self.assertEqual(field(deb, "Package"), package)
        exact = f"libkorvane2 (= {VERSION})"
        for package in ("libkorvane-dev", "korvane-tools", "python3-korvane"):
            with self.subTest(package=package):
                self.assertIn(exact, field(DEBS[package], "Depends"))
        # Read from the binaries by dpkg-shlibdeps, not typed in: the C and C++ run-time libraries.
        for package in ("libkorvane2", "korvane-tools"):
            with self.subTest(package=package):
                depends = field(DEBS[package], "Depends")
                self.assertRegex(depends, r"libc6 \(>= [\d.]+\)")
                self.assertRegex(depends, r"libstdc\+\+6 \(>= [\d.]+\)")
        self.assertEqual(field(DEBS["python3-korvane"], "Architecture"), "all")

    def test_the_library_package_declares_its_soname(self):
        with tempfile.TemporaryDirectory() as control:
            rc, _, err = sh("dpkg-deb", "-e", DEBS["libkorvane2"], control)
            self.assertEqual(rc, 0, err)
            with open(os.path.join(control, "shlibs")) as f:
                self.assertIn(f"libkorvane 2 libkorvane2 (= {VERSION})", f.read())
            with open(os.path.join(control, "triggers")) as f:
                self.assertIn("ldconfig", f.read())

    def test_lintian_finds_no_errors(self):
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed (scripts/bootstrap installs it)")
        rc, out, err = sh("lintian", "--tag-display-limit", "0", *DEBS.values(), timeout=900)
        errors = [line for line in out.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], out + err)


class FromTheRoot(unittest.TestCase):
    def test_tool_runs_and_finds_the_simulator(self):
        rc, out, err = sh(os.path.join(ROOT, "usr", "bin", "korvane"), "--version", env=root_env())
        self.assertEqual(rc, 0, err)
        self.assertIn(VERSION, out)
        with Simulator() as res:
            rc, out, err = sh(os.path.join(ROOT, "usr", "bin", "korvane"), "idn", res, env=root_env(), timeout=120)
        self.assertEqual(rc, 0, err)
        self.assertRegex(out, rf"Driver\s+Korvane {re.escape(VERSION)}")
        self.assertIn(res, out)

    def readme_c_example(self):
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            section = f.read().split("## Using the driver from C (IVI-C)", 1)[1]
        return re.search(r"```c\n(.*?)```", section, re.S).group(1)

    def run_and_measure(self, exe):
        with Simulator() as res:
            rc, out, err = sh(exe, res, env=root_env(), timeout=120)
        self.assertEqual(rc, 0, out + err)
        self.assertAlmostEqual(float(re.search(r"([\d.e+-]+) Hz", out).group(1)), 1e3, delta=20)

    def test_c_example_through_pkg_config_and_find_package(self):
        with tempfile.TemporaryDirectory() as folder:
            src = os.path.join(folder, "app.c")
            with open(src, "w") as f:
                f.write(self.readme_c_example())
            rc, flags, err = sh("pkg-config", "--cflags", "--libs", "korvane", env=root_env())
            self.assertEqual(rc, 0, err)
            # The root's headers, not a copy elsewhere on the machine.
            include = next(f[2:] for f in flags.split() if f.startswith("-I"))
            self.assertEqual(os.path.realpath(include), os.path.realpath(os.path.join(ROOT, "usr", "include")))
            rc, _, err = sh(CC, src, "-o", os.path.join(folder, "app"), *flags.split(), env=root_env())
            self.assertEqual(rc, 0, err)
            self.run_and_measure(os.path.join(folder, "app"))

            with open(os.path.join(folder, "CMakeLists.txt"), "w") as f:
                f.write("cmake_minimum_required(VERSION 3.25)\nproject(app LANGUAGES C)\n"
                        f"find_package(Korvane {VERSION} REQUIRED)\nadd_executable(app app.c)\n"
                        "target_link_libraries(app PRIVATE Korvane::korvane)\n")
            build = os.path.join(folder, "build")
            rc, out, err = sh(CMAKE, "-S", folder, "-B", build, "-G", "Ninja", f"-DCMAKE_C_COMPILER={CC}",
                              f"-DCMAKE_PREFIX_PATH={os.path.join(ROOT, 'usr')}", env=root_env())
            self.assertEqual(rc, 0, out + err)
            rc, out, err = sh(CMAKE, "--build", build, env=root_env())
            self.assertEqual(rc, 0, out + err)
            self.run_and_measure(os.path.join(build, "app"))

    def test_python_package_finds_the_packaged_library(self):
        env = dict(root_env(), PYTHONPATH=os.path.join(ROOT, "usr", "lib", "python3", "dist-packages"))
        python = os.environ.get("KORVANE_TEST_PYTHON") or "/usr/bin/python3"
        with tempfile.TemporaryDirectory() as cwd:
            rc, out, err = sh(python, "-c", "import korvane; print(korvane.__file__); print(korvane.library_path())",
                              env=env, cwd=cwd)
        self.assertEqual(rc, 0, err)
        module, library = out.split()
        self.assertTrue(module.startswith(ROOT), module)
        self.assertTrue(os.path.realpath(library).startswith(ROOT), library)


def installed(package):
    rc, out, _ = sh("dpkg-query", "-W", "-f=${Status}", package)
    return rc == 0 and out.strip().endswith(" installed")


def readme_example(heading, language):
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        section = f.read().split(heading, 1)[1]
    return re.search(rf"```{language}\n(.*?)```", section, re.S).group(1)


class Installed(unittest.TestCase):
    """apt install of the four packages, their use from the system's paths, apt purge."""

    def setUp(self):
        if os.geteuid() != 0 or not shutil.which("apt-get"):
            self.skipTest("installing needs root and apt")
        already = [p for p in DEBS if installed(p)]
        if already:
            self.skipTest(f"{', '.join(already)} installed already: left as they are")

    def system_env(self):
        return {k: v for k, v in os.environ.items()
                if k not in ("LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "CMAKE_PREFIX_PATH", "PYTHONPATH", "KORVANE_LIBRARY")}

    def test_install_use_and_purge(self):
        env = dict(self.system_env(), DEBIAN_FRONTEND="noninteractive")
        self.addCleanup(sh, "apt-get", "purge", "-y", *DEBS, env=env)
        started = time.monotonic()
        rc, out, err = sh("apt-get", "install", "-y", "--no-install-recommends", *DEBS.values(), env=env)
        self.assertEqual(rc, 0, out + err)
        print(f"apt install: {time.monotonic() - started:.1f} s", file=sys.stderr)
        files = {}
        for package in DEBS:
            rc, out, err = sh("dpkg", "-L", package)
            self.assertEqual(rc, 0, err)
            files[package] = [f for f in out.splitlines() if os.path.isfile(f) or os.path.islink(f)]
        self.assertIn("/usr/bin/korvane", files["korvane-tools"])

        clean = self.system_env()
        rc, out, err = sh("korvane", "--version", env=clean)
        self.assertEqual((rc, VERSION in out), (0, True), out + err)
        with tempfile.TemporaryDirectory() as folder, \
                SimProcess("/usr/bin/korvane-scope-sim", "--signal", "1:sine:1e3:0.5", env=clean) as res:
            rc, out, err = sh("korvane", "idn", res, env=clean, timeout=120)
            self.assertEqual(rc, 0, out + err)
            self.assertRegex(out, rf"Driver\s+Korvane {re.escape(VERSION)}")
            # C through pkg-config, C++ through find_package: the system's own search paths.
            with open(os.path.join(folder, "app.c"), "w") as f:
                f.write(readme_example("## Using the driver from C (IVI-C)", "c"))
            rc, flags, err = sh("pkg-config", "--cflags", "--libs", "korvane", env=clean)
            self.assertEqual(rc, 0, err)
            rc, _, err = sh(CC, os.path.join(folder, "app.c"), "-o", os.path.join(folder, "app_c"), *flags.split(),
                            env=clean)
            self.assertEqual(rc, 0, err)
            cpp = os.path.join(folder, "cpp")
            os.makedirs(cpp)
            with open(os.path.join(cpp, "app.cpp"), "w") as f:
                f.write(readme_example("## Using the driver from C++ (COM interfaces)", "cpp"))
            with open(os.path.join(cpp, "CMakeLists.txt"), "w") as f:
                f.write("cmake_minimum_required(VERSION 3.25)\nproject(app LANGUAGES CXX)\n"
                        f"find_package(Korvane {VERSION} REQUIRED)\nadd_executable(app app.cpp)\n"
                        "target_link_libraries(app PRIVATE Korvane::korvane)\n")
            build = os.path.join(cpp, "build")
            rc, out, err = sh(CMAKE, "-S", cpp, "-B", build, "-G", "Ninja", env=clean)
            self.assertEqual(rc, 0, out + err)
            rc, out, err = sh(CMAKE, "--build", build, env=clean)
            self.assertEqual(rc, 0, out + err)
            with open(os.path.join(folder, "app.py"), "w") as f:
                f.write(readme_example("## Using the driver from Python", "python"))
            for program in ([os.path.join(folder, "app_c"), res], [os.path.join(build, "app"), res],
                            ["/usr/bin/python3", os.path.join(folder, "app.py"), res]):
                with self.subTest(program=program[-2]):
                    rc, out, err = sh(*program, env=clean, cwd=folder, timeout=120)
                    self.assertEqual(rc, 0, out + err)
                    self.assertAlmostEqual(float(re.search(r"([\d.e+-]+) Hz", out).group(1)), 1e3, delta=20)

        started = time.monotonic()
        rc, out, err = sh("apt-get", "purge", "-y", *DEBS, env=env)
        self.assertEqual(rc, 0, out + err)
        print(f"apt purge: {time.monotonic() - started:.1f} s", file=sys.stderr)
        for package, paths in files.items():
            with self.subTest(removed=package):
                self.assertFalse(installed(package))
                self.assertEqual([f for f in paths if os.path.lexists(f)], [])
        for folder in ("/usr/include/korvane", "/usr/lib/cmake/Korvane", "/usr/share/korvane",
                       "/usr/lib/python3/dist-packages/korvane"):
            self.assertFalse(os.path.exists(folder), folder)
        rc, out, _ = sh("ldconfig", "-p")
        self.assertNotIn("libkorvane", out)


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(Korvane VERSION ([0-9.]+)", f.read()).group(1)


if __name__ == "__main__":
    BUILD, SOURCE, CC, CMAKE = sys.argv[1:5]
    VERSION = project_version()
    with tempfile.TemporaryDirectory() as scratch:
        rc, out, err = sh(os.path.join(os.path.dirname(CMAKE), "cpack"), "--config",
                          os.path.join(BUILD, "CPackConfig.cmake"), "-B", os.path.join(scratch, "debs"), cwd=BUILD)
        if rc != 0:
            sys.exit(f"cpack failed:\n{out}\n{err}")
        for deb in os.listdir(os.path.join(scratch, "debs")):
            if deb.endswith(".deb"):
                DEBS[deb.split("_")[0]] = os.path.join(scratch, "debs", deb)
        if sorted(DEBS) != ["korvane-tools", "libkorvane-dev", "libkorvane2", "python3-korvane"]:
            sys.exit(f"cpack made {sorted(DEBS)}")
        ROOT = os.path.join(scratch, "root")
        for deb in DEBS.values():
            rc, _, err = sh("dpkg-deb", "-x", deb, ROOT)
            if rc != 0:
                sys.exit(f"dpkg-deb -x {deb}: {err}")
        result = unittest.main(argv=sys.argv[:1], verbosity=2, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
