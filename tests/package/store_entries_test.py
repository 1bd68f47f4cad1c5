"""The installer's configuration-store editor (korvane-store-entries), run natively over the
stores a station may have, and read back by the driver's own store reader through the tool:

- added to a store full of another vendor's entries, ours resolve (the example logical name opens
  a simulated session) and every other entry still does; removing gives the file back byte for
  byte; adding twice adds nothing;
- a name another component already uses is left to it;
- a store made from nothing by the installer goes again on removal with --created, but not
  once something else was added to it;
- a file that is not a store is refused and left unchanged.

Usage: store_entries_test.py <korvane-store-entries> <korvane tool>
"""
import os
import subprocess
import sys
import tempfile
import unittest

EDITOR = TOOL = None

FOREIGN = """<?xml version="1.0" encoding="utf-8"?>\r
<IviConfigStore xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">\r
  <Name>IVI Configuration Server</Name>\r
  <SoftwareModules>\r
    <IviSoftwareModule id="p1">\r
      <Name>OtherScope</Name>\r
      <Prefix>OtherScope</Prefix>\r
    </IviSoftwareModule>\r
  </SoftwareModules>\r
  <DriverSessions>\r
    <IviDriverSession id="p2">\r
      <Name>OtherSession</Name>\r
      <SoftwareModule idref="p1"/>\r
      <Simulate>true</Simulate>\r
    </IviDriverSession>\r
  </DriverSessions>\r
  <LogicalNames>\r
    <IviLogicalName id="p3"><Name>OtherScope</Name><Session idref="p2"/></IviLogicalName>\r
  </LogicalNames>\r
</IviConfigStore>\r
"""


def edit(*args):
    p = subprocess.run([EDITOR, *args], capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr


def tool(store, *args):
    env = dict(os.environ, KORVANE_CONFIG_STORE=store)
    p = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=120, env=env)
    return p.returncode, p.stdout, p.stderr


class StoreEntries(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.store = os.path.join(self.dir.name, "IviConfigurationStore.xml")

    def tearDown(self):
        self.dir.cleanup()

    def write(self, text):
        with open(self.store, "w", newline="") as f:
            f.write(text)

    def read(self):
        with open(self.store, newline="") as f:
            return f.read()

    def test_added_beside_another_vendors_entries_and_removed_exactly(self):
        self.write(FOREIGN)
        rc, out, err = edit("add", self.store)
        self.assertEqual(rc, 0, err)
        added = self.read()
        self.assertIn("<IviSoftwareModule id=\"korvane.SoftwareModule\">", added)
        self.assertNotIn("\n\n", added.replace("\r", ""))
        self.assertEqual(added.count("\n"), added.count("\r\n"), "the file's line ends are kept")
        rc, out, err = tool(self.store, "config")
        self.assertEqual(rc, 0, err)
        self.assertRegex(out, r"KorvaneScope\s+KorvaneSession\s+\(simulated\)")
        self.assertRegex(out, r"OtherScope\s+OtherSession")
        # The example logical name opens a session of this driver.
        rc, out, err = tool(self.store, "idn", "KorvaneScope")
        self.assertEqual(rc, 0, err)
        self.assertIn("MSO-CD1000", out)
        # A second install finds its entries and adds none.
        rc, out, _ = edit("add", self.store)
        self.assertEqual((rc, self.read()), (0, added))
        self.assertIn("added 0", out)
        rc, out, err = edit("remove", self.store)
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.read(), FOREIGN)

    def test_compact_store_keeps_its_entries(self):
        compact = ("<IviConfigStore><SoftwareModules/><DriverSessions><IviDriverSession id=\"s\"><Name>Bench</Name>"
                   "<Simulate>true</Simulate></IviDriverSession></DriverSessions></IviConfigStore>")
        self.write(compact)
        # With the 32-bit DLL installed too, the module names both paths, the 32-bit one first.
        self.assertEqual(edit("add", self.store, "--32-bit")[0], 0)
        self.assertRegex(self.read(), r"<ModulePath>Korvane.dll</ModulePath>\s*<ModulePath64>Korvane.dll</ModulePath64>")
        rc, out, err = tool(self.store, "config")
        self.assertEqual(rc, 0, err)
        self.assertIn("KorvaneScope", out)
        self.assertEqual(edit("remove", self.store)[0], 0)
        text = self.read()
        self.assertNotIn("korvane", text.lower())
        self.assertIn("<IviDriverSession id=\"s\"><Name>Bench</Name>", text)

    def test_a_name_in_use_is_left_to_its_owner(self):
        # Names compare without regard to case, as the configuration server compares them.
        taken = FOREIGN.replace("<Name>OtherScope</Name><Session", "<Name>korvanescope</Name><Session")
        self.write(taken)
        rc, out, err = edit("add", self.store)
        self.assertEqual(rc, 0, err)
        self.assertIn("is named KorvaneScope", out)
        rc, out, err = tool(self.store, "config")
        self.assertRegex(out, r"korvanescope\s+OtherSession")  # still the other vendor's
        self.assertNotIn("KorvaneScope", out)
        self.assertEqual(edit("remove", self.store)[0], 0)
        self.assertEqual(self.read(), taken)

    def test_a_store_made_by_the_installer_goes_with_it(self):
        self.assertEqual(edit("add", self.store)[0], 0)
        rc, out, err = tool(self.store, "idn", "KorvaneScope")
        self.assertEqual(rc, 0, err)
        rc, _, err = edit("remove", self.store, "--created")
        self.assertEqual(rc, 0, err)
        self.assertFalse(os.path.exists(self.store))
        # Someone else's entry arrived meanwhile: the file stays, with it alone.
        self.assertEqual(edit("add", self.store)[0], 0)
        self.write(self.read().replace("</LogicalNames>", "<IviLogicalName><Name>Mine</Name></IviLogicalName></LogicalNames>"))
        self.assertEqual(edit("remove", self.store, "--created")[0], 0)
        self.assertIn("<Name>Mine</Name>", self.read())
        self.assertNotIn("Korvane", self.read())
        # No file at all: nothing to do.
        os.remove(self.store)
        self.assertEqual(edit("remove", self.store)[0], 0)
        self.assertFalse(os.path.exists(self.store))

    def test_what_is_not_a_store_is_refused_unchanged(self):
        for text in ("<Other/>", "<IviConfigStore><SoftwareModules><IviSoftwareModule id=\"korvane.SoftwareModule\">"):
            with self.subTest(text=text):
                self.write(text)
                rc, _, err = edit("add" if "Other" in text else "remove", self.store)
                self.assertEqual(rc, 1)
                self.assertIn("left unchanged", err)
                self.assertEqual(self.read(), text)
        for args in (("rewrite", self.store), ("remove", self.store, "--32-bit"), ("add", self.store, "--created")):
            rc, _, err = edit(*args)
            self.assertEqual(rc, 2, args)
            self.assertIn("usage", err)


if __name__ == "__main__":
    EDITOR, TOOL = sys.argv[1:3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
