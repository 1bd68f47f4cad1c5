"""The flat C API's model of the object model (gen_ansic.py) over the real catalogue: every member
of every object reached from the root is generated once or left out with a reason, versions of
one object share its name, and the identifier is checked."""
import re
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

from test_catalog import ROOT

sys.path.insert(0, str(ROOT / "tools" / "codegen"))
import gen_ansic  # noqa: E402


class AnsiCModel(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.model = gen_ansic.load(ROOT / "catalog")

    def test_every_member_reached_is_generated_or_left_out_with_a_reason(self):
        m = self.model
        walked = {n.iface for n in m.nodes}
        members = {(owner, mem.entry_name) for i in walked for owner, mem in m.members(i)}
        steps = {(owner, mem.entry_name) for i in walked for owner, mem in m.members(i)
                 if m.is_nav(mem) or m.is_item(mem)}
        generated = [(f.owner, f.member.entry_name) for f in m.functions]
        left = [line.split(":")[0] + "::" + line.split("::")[1].split(":")[0] for line in m.left_out]
        self.assertEqual(len(generated), len(set(generated)), "a member generated twice")
        accounted = set(generated) | steps | {tuple(x.split("::")) for x in left}
        self.assertEqual(members - accounted, set())
        self.assertTrue(all(": " in line for line in m.left_out))

    def test_versions_of_an_object_share_its_name(self):
        names = {f.name for f in self.model.functions}
        self.assertFalse([n for n in names if re.search(r"_(trigger|system|search|display)\d+_", n)])
        # What the newest trigger interface leads to sits under the plain name, as do the oldest ones.
        newest = [f for f in self.model.functions if f.owner == "IKorvaneTrigger5RandomHoldoff"]
        self.assertTrue(newest)
        self.assertTrue(all(f.name.startswith("KVScope_trigger_random_holdoff_") for f in newest))
        self.assertIn("KVScope_trigger_source_set", names)
        # Items answer their newest interface through the selector of the collection.
        bus4 = [f for f in self.model.functions if f.owner == "IKorvaneSerialBus4CAN3"]
        self.assertTrue(bus4)
        self.assertTrue(all(f.node.selectors == ["serial_buses_name"] for f in bus4))

    def test_names_are_c_identifiers_and_parameters_are_not_keywords(self):
        for f in self.model.functions:
            self.assertRegex(f.name, r"^KVScope_[a-z0-9_]+$")
            for p in f.params:
                self.assertNotIn(p.split()[-1].lstrip("*"), gen_ansic.RESERVED, f.name)

    def test_identifier_must_be_a_vendor_code_and_a_model_token(self):
        with tempfile.TemporaryDirectory() as tmp:
            cat = Path(tmp) / "catalog"
            shutil.copytree(ROOT / "catalog", cat)
            text = (cat / "library.toml").read_text()
            for bad in ("kvscope", "K", "KV_Scope"):
                (cat / "library.toml").write_text(re.sub(r'ansi_c_identifier = "\w+"',
                                                          f'ansi_c_identifier = "{bad}"', text))
                with self.assertRaises(SystemExit, msg=bad):
                    gen_ansic.identifier(cat)
            (cat / "library.toml").write_text(text.replace('"KVScope"', '"ABMeter"'))
            self.assertEqual("ABMeter", gen_ansic.identifier(cat))


if __name__ == "__main__":
    unittest.main()
