"""The Windows installer under Wine, in a throwaway prefix made for the test, on a station where
the IVI shared components and another vendor's driver were installed before (planted: the IVI
root in the registry value the shared components write, their keys, a driver DLL in Bin and a
configuration store with another vendor's entries):

- `setup /S` installs into that root: files, COM registration, the Programs and Features entry,
  the store entries and a log; the installed tool opens the example logical name, the VBScript
  demo runs through the ProgID against the simulator, and a C client built against the installed
  header and import library measures the simulator;
- the uninstaller (/S) removes exactly what was installed: the planted keys, files and store
  are as they were;
- where a folder of the layout cannot be made, the installer refuses with exit code 2 and
  installs nothing.

Usage: installer_test.py <windows build dir> <source dir> <wine> <linux simulator> <c compiler> <cmake>
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sim_process import SimProcess  # noqa: E402

BUILD = SOURCE = WINE = SIM = CC = CMAKE = None
SETUP = PREFIX = None
ROOT = "C:\\IVIRoot"  # not the standard root: the installer must read it from the registry
IVI_KEY = "HKLM\\SOFTWARE\\IVI Foundation\\IVI"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvane"
FOREIGN_STORE = """<?xml version="1.0" encoding="utf-8"?>\r
<IviConfigStore>\r
  <SoftwareModules>\r
    <IviSoftwareModule id="p1"><Name>OtherScope</Name><Prefix>OtherScope</Prefix></IviSoftwareModule>\r
  </SoftwareModules>\r
  <DriverSessions>\r
    <IviDriverSession id="p2"><Name>OtherSession</Name><SoftwareModule idref="p1"/></IviDriverSession>\r
  </DriverSessions>\r
  <LogicalNames>\r
    <IviLogicalName id="p3"><Name>OtherScope</Name><Session idref="p2"/></IviLogicalName>\r
  </LogicalNames>\r
</IviConfigStore>\r
"""


def env():
    # No Mono or Gecko prompts in a fresh prefix.
    return dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")


def wine(*args, timeout=300, **kw):
    p = subprocess.run([WINE, *args], capture_output=True, text=True, timeout=timeout, env=kw.pop("env", env()), **kw)
    return p.returncode, p.stdout.replace("\r", ""), p.stderr


def unix(path):
    """The prefix's file for a C: path."""
    return os.path.join(PREFIX, "drive_c", *path[3:].split("\\"))


def key_exists(key, value=None):
    args = ["reg", "query", key] + (["/v", value] if value else [])
    return wine(*args)[0] == 0


def wait_for_wine():
    subprocess.run(["wineserver", "-w"], env=env(), timeout=300)


def Simulator() -> SimProcess:
    return SimProcess(SIM, "--model", "MSO-CD1000", "--signal", "1:sine:1e3:0.5")


class Installer(unittest.TestCase):
    """One station through install, use, uninstall and a refused install, in that order."""

    store = "C:\\ProgramData\\IVI Foundation\\IVI\\Data\\IviConfigurationStore.xml"

    def read_store(self):
        with open(unix(self.store), newline="") as f:
            return f.read()

    def test_install_use_uninstall(self):
        # The station before: the shared components' keys and root, another vendor's DLL and store.
        for args in (["reg", "add", IVI_KEY, "/v", "IviStandardRootDir64", "/d", ROOT, "/f"],
                     ["reg", "add", IVI_KEY + "\\OtherVendor", "/v", "Owner", "/d", "other", "/f"]):
            self.assertEqual(wine(*args)[0], 0)
        os.makedirs(unix(ROOT + "\\Bin"))
        with open(unix(ROOT + "\\Bin\\OtherScope.dll"), "w") as f:
            f.write("another vendor's driver")
        os.makedirs(os.path.dirname(unix(self.store)))
        with open(unix(self.store), "w", newline="") as f:
            f.write(FOREIGN_STORE)

        rc, out, err = wine(SETUP, "/S")
        wait_for_wine()
        self.assertEqual(rc, 0, out + err)
        for path in ("Bin\\Korvane.dll", "Bin\\korvane.exe", "Include\\Korvane.h", "Include\\korvane\\KorvaneCom.h",
                     "Lib_x64\\msc\\Korvane.lib", "Drivers\\Korvane\\README.md", "Drivers\\Korvane\\trace.xslt",
                     "Drivers\\Korvane\\Examples\\demo.vbs", "Drivers\\Korvane\\Uninstall.exe"):
            with self.subTest(installed=path):
                self.assertTrue(os.path.isfile(unix(ROOT + "\\" + path)))
        with open(unix(ROOT + "\\Drivers\\Korvane\\install.log")) as f:
            log = f.read()
        self.assertIn("installing into the IVI root " + ROOT, log)
        self.assertIn("DllRegisterServer", log)
        self.assertIn("done", log)
        self.assertTrue(key_exists("HKCR\\Korvane.Korvane\\CLSID"))
        self.assertTrue(key_exists(UNINSTALL_KEY, "UninstallString"))
        store = self.read_store()
        for entry in ("korvane.SoftwareModule", "korvane.DriverSession", "korvane.LogicalName", 'id="p1"', 'id="p3"'):
            self.assertIn(entry, store)

        # The installed tool: a client of the registered server, reading the store it was given.
        rc, out, err = wine(ROOT + "\\Bin\\korvane.exe", "idn", "KorvaneScope", timeout=120)
        self.assertEqual(rc, 0, out + err)
        self.assertIn("MSO-CD1000", out)
        with Simulator() as resource:
            rc, out, err = wine("cscript.exe", "//nologo", ROOT + "\\Drivers\\Korvane\\Examples\\demo.vbs", resource,
                                timeout=240)
            self.assertEqual(rc, 0, out + err)
            self.assertNotIn("FAIL", out)
            self.assertIn("ok close", out)
            exe = self.build_c_client()
            rc, out, err = wine(exe, resource, env=dict(env(), WINEPATH=ROOT + "\\Bin"), timeout=120)
            self.assertEqual(rc, 0, out + err)
            self.assertAlmostEqual(float(re.search(r"([\d.e+-]+) Hz", out).group(1)), 1e3, delta=20)

        uninstaller = ROOT + "\\Drivers\\Korvane\\Uninstall.exe"
        rc, out, err = wine(uninstaller, "/S")
        wait_for_wine()  # the uninstaller runs on from a copy of itself
        self.assertEqual(rc, 0, out + err)
        self.assertFalse(os.path.exists(unix(ROOT + "\\Drivers")), "nothing of the driver's folder is left")
        self.assertFalse(os.path.exists(unix(ROOT + "\\Include")))
        self.assertFalse(os.path.exists(unix(ROOT + "\\Lib_x64")))
        self.assertEqual(os.listdir(unix(ROOT + "\\Bin")), ["OtherScope.dll"])
        self.assertFalse(key_exists("HKCR\\Korvane.Korvane"))
        self.assertFalse(key_exists(UNINSTALL_KEY))
        self.assertTrue(key_exists(IVI_KEY, "IviStandardRootDir64"))
        self.assertTrue(key_exists(IVI_KEY + "\\OtherVendor", "Owner"))
        self.assertEqual(self.read_store(), FOREIGN_STORE)
        # Nothing of ours in the registry: classes, type libraries (the IVI ones the DLL
        # registered point into it too), the uninstall entry. Wine has saved it on exiting.
        for hive in ("system.reg", "user.reg"):
            with open(os.path.join(PREFIX, hive), encoding="utf-8", errors="replace") as f:
                left = [line for line in f if "korvane" in line.lower()]
            self.assertEqual(left, [], hive)
        with open(self.uninstall_log()) as f:
            self.assertIn("done", f.read())

        # A layout folder that cannot be made (a file is in its way): refused, nothing installed.
        with open(unix(ROOT + "\\Drivers"), "w") as f:
            f.write("in the way")
        rc, out, err = wine(SETUP, "/S")
        wait_for_wine()
        self.assertEqual(rc, 2, out + err)
        self.assertFalse(os.path.exists(unix(ROOT + "\\Bin\\Korvane.dll")))
        self.assertFalse(key_exists(UNINSTALL_KEY))
        self.assertEqual(self.read_store(), FOREIGN_STORE)

    def uninstall_log(self):
        found = glob.glob(os.path.join(PREFIX, "drive_c", "users", "*", "*", "Local", "Temp", "Korvane-uninstall.log")) + \
            glob.glob(os.path.join(PREFIX, "drive_c", "users", "*", "Temp", "Korvane-uninstall.log"))
        self.assertTrue(found, "no uninstall log")
        return found[0]

    def build_c_client(self):
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            section = f.read().split("## Using the driver from C (IVI-C)", 1)[1]
        folder = os.path.join(PREFIX, "client")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "app.c"), "w") as f:
            f.write(re.search(r"```c\n(.*?)```", section, re.S).group(1))
        exe = os.path.join(folder, "app.exe")
        p = subprocess.run([CC, os.path.join(folder, "app.c"), "-I", unix(ROOT + "\\Include"),
                            os.path.join(unix(ROOT + "\\Lib_x64\\msc"), "Korvane.lib"), "-static", "-o", exe],
                           capture_output=True, text=True, timeout=300)
        self.assertEqual(p.returncode, 0, p.stderr)
        return exe


if __name__ == "__main__":
    BUILD, SOURCE, WINE, SIM, CC, CMAKE = sys.argv[1:7]
    if not shutil.which("makensis"):
        print("SKIP: makensis is not installed (scripts/bootstrap --windows installs nsis)")
        sys.exit(77)
    p = subprocess.run([CMAKE, "--build", BUILD, "--target", "korvane_installer"], capture_output=True, text=True)
    if p.returncode != 0:
        sys.exit(f"the installer did not build:\n{p.stdout}\n{p.stderr}")
    SETUP = glob.glob(os.path.join(BUILD, "packages", "korvane-*-win64-setup.exe"))[0]
    with tempfile.TemporaryDirectory() as prefix:
        PREFIX = os.path.join(prefix, "wine")
        subprocess.run([WINE, "wineboot", "-i"], env=env(), capture_output=True, timeout=300)
        wait_for_wine()
        try:
            result = unittest.main(argv=sys.argv[:1], verbosity=2, exit=False).result
        finally:
            subprocess.run(["wineserver", "-k"], env=env(), timeout=60)
    sys.exit(0 if result.wasSuccessful() else 1)
