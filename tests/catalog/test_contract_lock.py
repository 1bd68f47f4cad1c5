"""The lock of the published contract (catalog/contract.lock) against edits of a copy of the
catalogue: what adding a property takes, and that changing something published stops the
generation with a message naming it until the change is accepted."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(os.environ.get("KORVANE_SOURCE_DIR", Path(__file__).resolve().parents[2]))
TOOLS = ROOT / "tools" / "codegen"

# A read-write property as its catalogue rows: the interface entry and the IVI-C attribute.
PROPERTY = """
[[interface.member]]
kind = "property"
name = "SyntheticDelay"
type = "double"
query = ":TIM:SYND?"
response = "%lf"
command = ":TIM:SYND %0.15lg"
"""


class ContractLock(unittest.TestCase):
    def setUp(self):
        tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, tmp)
        self.cat = tmp / "catalog"
        shutil.copytree(ROOT / "catalog", self.cat)
        self.out = tmp / "gen"

    def generate(self):
        """The build's generation step: the lock check, then the object model; (status, stderr)."""
        r = subprocess.run([sys.executable, TOOLS / "contract_lock.py", "--catalog", self.cat],
                           capture_output=True, text=True)
        if r.returncode == 0:
            g = subprocess.run([sys.executable, TOOLS / "gen_com.py", self.cat, self.out], capture_output=True, text=True)
            return g.returncode, r.stderr + g.stderr
        return r.returncode, r.stderr

    def accept(self):
        r = subprocess.run([sys.executable, TOOLS / "contract_lock.py", "--catalog", self.cat, "--accept"],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)

    def edit(self, name, old, new):
        path = self.cat / name
        text = path.read_text()
        self.assertIn(old, text)
        path.write_text(text.replace(old, new, 1))

    def add_attribute(self, interface, row):
        self.edit("attributes.toml", f'interface = "{interface}"\nattributes = [\n',
                  f'interface = "{interface}"\nattributes = [\n  {row},\n')

    def free_driver_id(self):
        ids = [int(x) for x in re.findall(r"\bid = (115\d{4})", (self.cat / "attributes.toml").read_text())]
        return max(ids) + 1

    def test_the_committed_lock_holds_the_catalogue(self):
        # The build only warns about additions the lock lacks; here they fail, so none is forgotten.
        status, err = self.generate()
        self.assertEqual((status, err), (0, ""))

    def test_property_added_to_a_published_interface(self):
        # The rows: the entry (and the interface's entry count) and the attribute.
        path = self.cat / "interfaces-acquisition.toml"
        text = path.read_text()
        start = text.index('name = "IKorvaneTimebase"\n')
        end = text.index("\n[[interface]]", start)
        head = text[start:end].replace("entries = 9", "entries = 11", 1)
        path.write_text(text[:start] + head + PROPERTY + text[end:])
        ident = self.free_driver_id()
        self.add_attribute("IKorvaneTimebase", f'{{ id = {ident}, name = "SyntheticDelay", type = "R64", '
                                               'access = "RW", constant = "KORVANE_ATTR_TIMEBASE_SYNTHETIC_DELAY" }')
        # The vtable of a published interface changes: generation stops, naming it, with the command.
        status, err = self.generate()
        self.assertEqual(status, 1)
        self.assertIn("contract: interface IKorvaneTimebase entries changed: 9 -> 11", err)
        self.assertIn(f"contract_lock.py --accept --catalog {self.cat}", err)
        self.assertFalse((self.out / "korvane" / "KorvaneCom.h").exists())
        # Accepted on purpose, the lock records the entries and the attribute, and generation passes.
        self.accept()
        lock = (self.cat / "contract.lock").read_text()
        self.assertIn("interface IKorvaneTimebase vtable 10 = put_SyntheticDelay(in double Val)\n", lock)
        self.assertIn(f"attribute KORVANE_ATTR_TIMEBASE_SYNTHETIC_DELAY = {ident} ViReal64 RW\n", lock)
        self.assertEqual(self.generate(), (0, ""))
        header = (self.out / "korvane" / "KorvaneCom.h").read_text()
        self.assertIn("virtual HRESULT STDMETHODCALLTYPE put_SyntheticDelay(DOUBLE Val) = 0;", header)

    def test_new_interface_version_is_an_addition(self):
        # A new version of the interface publishes only new items: generation passes and warns
        # until the lock records them.
        self.edit("interfaces-acquisition.toml", '\n[[interface]]\nname = "IKorvaneTimebaseWindow"\n',
                  '\n[[interface]]\nname = "IKorvaneTimebase2"\niid = "5F0C3E61-2B7A-4C1D-9E8F-0A1B2C3D4E5F"\n'
                  'base = "IKorvaneTimebase"\ncoclass = "Korvane"\nentries = 2\n' + PROPERTY +
                  '\n[[interface]]\nname = "IKorvaneTimebaseWindow"\n')
        self.edit("library.toml", '  "IKorvane8FRA",\n', '  "IKorvane8FRA",\n  "IKorvaneTimebase2",\n')
        self.edit("library.toml", "count = 158", "count = 159")
        self.edit("attributes.toml", '[[group]]\ninterface = "IKorvaneTimebaseWindow"\n',
                  f'[[group]]\ninterface = "IKorvaneTimebase2"\nattributes = [\n  {{ id = {self.free_driver_id()}, '
                  'name = "SyntheticDelay", type = "R64", access = "RW", constant = "KORVANE_ATTR_TIMEBASE_SYNTHETIC_DELAY" },'
                  '\n]\n\n[[group]]\ninterface = "IKorvaneTimebaseWindow"\n')
        status, err = self.generate()
        self.assertEqual(status, 0, err)
        self.assertIn("contract: warning: ", err)
        self.assertIn("interface IKorvaneTimebase2 iid", err)
        self.accept()
        self.assertEqual(self.generate(), (0, ""))

    def test_changed_identifiers_fail_naming_them(self):
        self.edit("interfaces-channels.toml", 'iid = "2E094F51-F0DF-41F7-A946-43B8A820EEC2"',
                  'iid = "2E094F51-F0DF-41F7-A946-43B8A820EEC3"')
        self.edit("attributes.toml", "{ id = 1150107, ", f"{{ id = {self.free_driver_id()}, ")
        status, err = self.generate()
        self.assertEqual(status, 1)
        self.assertIn("contract: interface IKorvaneChannel iid changed: {2E094F51-F0DF-41F7-A946-43B8A820EEC2} -> "
                      "{2E094F51-F0DF-41F7-A946-43B8A820EEC3}", err)
        self.assertRegex(err, r"contract: attribute KORVANE_ATTR_TIMEBASE_MODE changed: 1150107 ViInt32 RW -> "
                              r"115\d{4} ViInt32 RW")
        self.assertIn("contract: the catalogue changes what", err)

    def test_removed_items_fail_naming_them(self):
        self.edit("messages.toml", 'name = "UnrecoverableFailure"\nhresult = 0x80047000',
                  'name = "UnrecoverableFailure"\nhresult = 0x80047FFF')
        path = self.cat / "enums.toml"
        text = path.read_text()
        members = re.search(r'name = "KorvaneTimebaseModeEnum"\n(?:.*\n)*?members = \[(.*)\]', text)
        words = members.group(1)
        path.write_text(text.replace(words, words.rsplit(",", 1)[0], 1))
        status, err = self.generate()
        self.assertEqual(status, 1)
        self.assertIn("contract: error UnrecoverableFailure changed: 0x80047000 -> 0x80047FFF", err)
        self.assertRegex(err, r"contract: enum KorvaneTimebaseModeEnum KorvaneTimebaseMode\w+ disappeared \(was \d+\)")


if __name__ == "__main__":
    unittest.main()
