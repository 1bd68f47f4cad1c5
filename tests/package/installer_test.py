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

With --x86 <32-bit build dir> the installer carries the 32-bit DLL too (the 32-bit build stages
it first), and the same station also has a 32-bit IVI root with another vendor's DLL: the 32-bit
driver goes there and is registered in the 32-bit view, the VBScript demo runs through it from
the 32-bit script host, the C client is the 32-bit one (the c compiler is then the 32-bit
cross-compiler, and wine the loader that runs both), and the uninstall leaves that root as it was.

Usage: installer_test.py <windows build dir> <source dir> <wine> <linux simulator> <c compiler> <cmake>
                         [--x86 <32-bit build dir>]
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

BUILD = SOURCE = WINE = SIM = CC = CMAKE = X86 = None
SETUP = PREFIX = None
ROOT = "C:\\IVIRoot"  # not the standard root: the installer must read it from the registry
ROOT32 = "C:\\IVIRoot32"  # the 32-bit one, from the 32-bit view of the same key
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


def key_exists(key, value=None, view="64"):
    args = ["reg", "query", key] + (["/v", value] if value else []) + ["/reg:" + view]
    return wine(*args)[0] == 0


def default_value(key, view="64"):
    """A key's default value, or None where the key or the value is missing."""
    rc, out, _ = wine("reg", "query", key, "/ve", "/reg:" + view)
    found = re.search(r"\(Default\)\s+REG_\w+\s+(.*)", out) if rc == 0 else None
    return found.group(1).strip() if found else None


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
        for args in (["reg", "add", IVI_KEY, "/v", "IviStandardRootDir64", "/d", ROOT, "/f", "/reg:64"],
                     ["reg", "add", IVI_KEY + "\\OtherVendor", "/v", "Owner", "/d", "other", "/f", "/reg:64"],
                     ["reg", "add", IVI_KEY, "/v", "IviStandardRootDir", "/d", ROOT32, "/f", "/reg:32"]):
            self.assertEqual(wine(*args)[0], 0)
        for root in (ROOT, ROOT32):
            os.makedirs(unix(root + "\\Bin"))
            with open(unix(root + "\\Bin\\OtherScope.dll"), "w") as f:
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
        # The 32-bit driver is in the installer wherever the 32-bit build staged it (the 64-bit run
        # on a machine that has built it before checks it too, but uses it from 64-bit clients only).
        installed32 = "registered the 32-bit COM server" in log
        if X86:
            self.assertTrue(installed32, log)
        self.assertEqual(os.path.isdir(unix(ROOT32 + "\\Lib")), installed32, "32-bit files only with the registration")
        if installed32:
            for path in ("Bin\\Korvane.dll", "Include\\Korvane.h", "Lib\\msc\\Korvane.lib"):
                with self.subTest(installed32=path):
                    self.assertTrue(os.path.isfile(unix(ROOT32 + "\\" + path)))
            with open(unix(ROOT32 + "\\Bin\\Korvane.dll"), "rb") as f:
                pe = f.read(4096)
            self.assertIn(b"PE\0\0\x4c\x01", pe, "the 32-bit root holds the 32-bit DLL")
            # The ProgID is one key for both; the class has a server in each view.
            clsid = default_value("HKCR\\Korvane.Korvane\\CLSID")
            for view, root in (("64", ROOT), ("32", ROOT32)):
                self.assertEqual(default_value(f"HKCR\\CLSID\\{clsid}\\InprocServer32", view),
                                 root + "\\Bin\\Korvane.dll", view)
            self.assertIn("<ModulePath>Korvane.dll</ModulePath>", store)

        # The installed tool: a client of the registered server, reading the store it was given.
        rc, out, err = wine(ROOT + "\\Bin\\korvane.exe", "idn", "KorvaneScope", timeout=120)
        self.assertEqual(rc, 0, out + err)
        self.assertIn("MSO-CD1000", out)
        with Simulator() as resource:
            # The 64-bit script host, and with the 32-bit driver the 32-bit one: each reaches the
            # server of its own bitness through the same ProgID.
            hosts = ["cscript.exe"] + (["C:\\windows\\syswow64\\cscript.exe"] if X86 else [])
            for host in hosts:
                with self.subTest(host=host):
                    rc, out, err = wine(host, "//nologo", ROOT + "\\Drivers\\Korvane\\Examples\\demo.vbs",
                                        resource, timeout=240)
                    self.assertEqual(rc, 0, out + err)
                    self.assertNotIn("FAIL", out)
                    self.assertIn("ok close", out)
            root = ROOT32 if X86 else ROOT
            exe = self.build_c_client(root)
            rc, out, err = wine(exe, resource, env=dict(env(), WINEPATH=root + "\\Bin"), timeout=120)
            self.assertEqual(rc, 0, out + err)
            self.assertAlmostEqual(float(re.search(r"([\d.e+-]+) Hz", out).group(1)), 1e3, delta=20)

        uninstaller = ROOT + "\\Drivers\\Korvane\\Uninstall.exe"
        rc, out, err = wine(uninstaller, "/S")
        wait_for_wine()  # the uninstaller runs on from a copy of itself
        self.assertEqual(rc, 0, out + err)
        self.assertFalse(os.path.exists(unix(ROOT + "\\Drivers")), "nothing of the driver's folder is left")
        self.assertFalse(os.path.exists(unix(ROOT + "\\Include")))
        self.assertFalse(os.path.exists(unix(ROOT + "\\Lib_x64")))
        for root in (ROOT, ROOT32):
            self.assertEqual(os.listdir(unix(root + "\\Bin")), ["OtherScope.dll"])
            self.assertEqual(os.listdir(unix(root)), ["Bin"])
        self.assertFalse(key_exists("HKCR\\Korvane.Korvane"))
        self.assertTrue(key_exists(IVI_KEY, "IviStandardRootDir", view="32"))
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

        if X86:
            self.check_without_32_bit_programs()

        # A layout folder that cannot be made (a file is in its way): refused, nothing installed.
        with open(unix(ROOT + "\\Drivers"), "w") as f:
            f.write("in the way")
        rc, out, err = wine(SETUP, "/S")
        wait_for_wine()
        self.assertEqual(rc, 2, out + err)
        self.assertFalse(os.path.exists(unix(ROOT + "\\Bin\\Korvane.dll")))
        self.assertFalse(key_exists(UNINSTALL_KEY))
        self.assertEqual(self.read_store(), FOREIGN_STORE)

    def check_without_32_bit_programs(self):
        """A 64-bit Windows whose 32-bit regsvr32 cannot start (no 32-bit subsystem): the 64-bit
        driver installs alone, nothing of the 32-bit one stays behind, and it uninstalls clean."""
        regsvr32 = unix("C:\\windows\\syswow64\\regsvr32.exe")
        shutil.copy(regsvr32, regsvr32 + ".saved")
        try:
            with open(regsvr32, "wb") as f:
                f.write(b"not a program")
            rc, out, err = wine(SETUP, "/S")
            wait_for_wine()
        finally:
            os.replace(regsvr32 + ".saved", regsvr32)
        self.assertEqual(rc, 0, out + err)
        with open(unix(ROOT + "\\Drivers\\Korvane\\install.log")) as f:
            log = f.read()
        self.assertIn("the 32-bit driver is left out", log)
        self.assertNotIn("registered the 32-bit", log)
        self.assertEqual(sorted(os.listdir(unix(ROOT32))), ["Bin"])
        self.assertEqual(os.listdir(unix(ROOT32 + "\\Bin")), ["OtherScope.dll"])
        self.assertNotIn("<ModulePath>", self.read_store())
        self.assertTrue(key_exists("HKCR\\Korvane.Korvane\\CLSID"))
        rc, out, err = wine(ROOT + "\\Drivers\\Korvane\\Uninstall.exe", "/S")
        wait_for_wine()
        self.assertEqual(rc, 0, out + err)
        self.assertFalse(key_exists(UNINSTALL_KEY))
        self.assertEqual(self.read_store(), FOREIGN_STORE)

    def uninstall_log(self):
        found = glob.glob(os.path.join(PREFIX, "drive_c", "users", "*", "*", "Local", "Temp", "Korvane-uninstall.log")) + \
            glob.glob(os.path.join(PREFIX, "drive_c", "users", "*", "Temp", "Korvane-uninstall.log"))
        self.assertTrue(found, "no uninstall log")
        return found[0]

    def build_c_client(self, root):
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            section = f.read().split("## Using the driver from C (IVI-C)", 1)[1]
        folder = os.path.join(PREFIX, "client")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "app.c"), "w") as f:
            f.write(re.search(r"```c\n(.*?)```", section, re.S).group(1))
        exe = os.path.join(folder, "app.exe")
        lib = os.path.join(unix(root + ("\\Lib\\msc" if X86 else "\\Lib_x64\\msc")), "Korvane.lib")
        p = subprocess.run([CC, os.path.join(folder, "app.c"), "-I", unix(root + "\\Include"), lib, "-static", "-o", exe],
                           capture_output=True, text=True, timeout=300)
        self.assertEqual(p.returncode, 0, p.stderr)
        return exe


if __name__ == "__main__":
    BUILD, SOURCE, WINE, SIM, CC, CMAKE = sys.argv[1:7]
    if sys.argv[7:8] == ["--x86"]:
        X86 = sys.argv[8]
    if not shutil.which("makensis"):
        print("SKIP: makensis is not installed (scripts/bootstrap --windows installs nsis)")
        sys.exit(77)
    # The 32-bit DLL is staged before the installer is made, which then takes it in.
    for build, target in ([(X86, "korvane_x86_stage")] if X86 else []) + [(BUILD, "korvane_installer")]:
        p = subprocess.run([CMAKE, "--build", build, "--target", target], capture_output=True, text=True)
        if p.returncode != 0:
            sys.exit(f"{target} did not build:\n{p.stdout}\n{p.stderr}")
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
