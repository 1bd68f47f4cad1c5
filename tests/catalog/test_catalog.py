"""Tests of the object-model catalogue and its generator.

A small synthetic catalogue exercises each validation rule and the header template on its own.
The published shape of the object model is held by catalog/contract.lock, not restated here.
"""
import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

ROOT = Path(os.environ.get("KORVANE_SOURCE_DIR", Path(__file__).resolve().parents[2]))
sys.path.insert(0, str(ROOT / "tools" / "codegen"))
import gen_com  # noqa: E402
import korvane_catalog as kc  # noqa: E402


class Catalogue(unittest.TestCase):
    """What the loader makes of the real catalogue's rows; the published values themselves are
    held by catalog/contract.lock (test_contract_lock.py)."""

    @classmethod
    def setUpClass(cls):
        cls.cat = kc.load(ROOT / "catalog")

    def test_root_navigation(self):
        # The root's getters hand out other interfaces of the same object: navigation, which
        # needs no connection.
        for n in ["IKorvane"] + [f"IKorvane{k}" for k in range(2, 9)]:
            for m in self.cat.interfaces[n].members:
                with self.subTest(f"{n}::{m.entry_name}"):
                    self.assertEqual(m.impl, "navigation")
                    self.assertFalse(m.needs_connection)
        # Item collections hand out other objects: not navigation, and they need a connection.
        item = next(m for m in self.cat.interfaces["IKorvaneChannels"].members if m.name == "Item")
        self.assertEqual((item.impl, item.needs_connection, item.type), ("collection", True, "IKorvaneChannel"))


LIBRARY = """\
[library]
name = "TestLib"
helpstring = "Test"
libid = "11111111-2222-3333-4444-555555555555"
version = "1.0"
lcid = 1033
interface_order = ["IAlpha", "IBeta", "IGamma"]

[[coclass]]
name = "Thing"
clsid = "11111111-2222-3333-4444-666666666666"
default = "IBeta"
count = 3
"""

ENUMS = """\
[[enum]]
name = "KorvaneColourEnum"
rule = "one"
members = ["Red", "Green"]

[[enum]]
name = "KorvaneOddEnum"
rule = "explicit"
members = [["Late", 0], ["Early", 7], ["Big", 0x80044216]]
"""

INTERFACES = """\
[[interface]]
name = "IAlpha"
iid = "AAAAAAAA-0000-0000-0000-000000000001"
base = "IUnknown"
coclass = "Thing"
entries = 4

[[interface.member]]
kind = "property"
name = "Level"
type = "double"
sim = 2.5
impl = "generic"
query = ":LEV?"
response = "%lf"
command = ":LEV %0.15lg"

[[interface.member]]
kind = "get"
name = "Beta"
type = "IBeta"
impl = "navigation"

[[interface.member]]
kind = "method"
name = "Fetch"
params = [{ name = "Data", type = "SAFEARRAY(double)", dir = "inout" }, { name = "Colour", type = "KorvaneColourEnum" }]
exclude_families = ["Bormo"]
impl = "hook"

[[interface]]
name = "IBeta"
iid = "AAAAAAAA-0000-0000-0000-000000000002"
base = "IAlpha"
coclass = "Thing"
entries = 1

[[interface.member]]
kind = "get"
name = "Name"
params = [{ name = "Index", type = "long" }]
type = "BSTR"
impl = "hook"

[[interface]]
name = "IGamma"
iid = "AAAAAAAA-0000-0000-0000-000000000003"
base = "IUnknown"
coclass = "Thing"
entries = 1

[[interface.member]]
kind = "put"
name = "Colour"
type = "KorvaneColourEnum"
command = ":COL %d"
"""


class Synthetic(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.dir)
        self.files = {"library.toml": LIBRARY, "enums.toml": ENUMS, "interfaces-test.toml": INTERFACES}
        self.models = self.dir / "models.toml"
        self.models.write_text('[[model]]\nid = "M1"\nfamily = "Bormo"\n')

    def main(self, *args):
        with contextlib.redirect_stderr(io.StringIO()):
            return gen_com.main([str(self.write()), "--models", str(self.models), *args])

    def write(self):
        cat = self.dir / "catalog"
        shutil.rmtree(cat, ignore_errors=True)
        cat.mkdir()
        for name, text in self.files.items():
            (cat / name).write_text(text)
        return cat

    def load(self):
        return kc.load(self.write(), self.models)

    def errors(self, file, old, new):
        self.assertIn(old, self.files[file])
        self.files[file] = self.files[file].replace(old, new, 1)
        with self.assertRaises(kc.CatalogError) as ctx:
            self.load()
        return ctx.exception.errors

    def line_of(self, file, text):
        return self.files[file].splitlines().index(text) + 1

    def assertRule(self, errors, rule, file, line_text):
        where = f"{self.dir / 'catalog' / file}:{self.line_of(file, line_text)}: {rule}: "
        self.assertTrue(any(e.startswith(where) for e in errors), f"{where!r} not in {errors}")

    def test_clean_catalogue_loads_and_expands_properties(self):
        cat = self.load()
        alpha = cat.interfaces["IAlpha"]
        self.assertEqual([m.entry_name for m in alpha.members], ["get_Level", "put_Level", "get_Beta", "Fetch"])
        self.assertEqual(alpha.members[0].key, "IAlpha.Level")
        self.assertEqual((alpha.members[0].query, alpha.members[1].command), (":LEV?", ":LEV %0.15lg"))
        self.assertIsNone(alpha.members[1].query)
        self.assertFalse(alpha.members[2].needs_connection)
        self.assertTrue(alpha.members[3].needs_connection)
        self.assertEqual([m.value for m in cat.enums["KorvaneColourEnum"].members], [1, 2])

    def test_header(self):
        cat = self.load()
        h = gen_com.header(cat)
        self.assertIn("struct IBeta : public IAlpha {", h)
        self.assertIn("virtual HRESULT STDMETHODCALLTYPE get_Level(DOUBLE* Val) = 0;", h)
        self.assertIn("virtual HRESULT STDMETHODCALLTYPE put_Level(DOUBLE Val) = 0;", h)
        self.assertIn("virtual HRESULT STDMETHODCALLTYPE get_Beta(IBeta** Val) = 0;", h)
        self.assertIn("Fetch(SAFEARRAY** Data, KorvaneColourEnum Colour) = 0;", h)
        self.assertIn("get_Name(LONG Index, BSTR* Val) = 0;", h)
        self.assertIn("KorvaneColourGreen = 2,", h)
        self.assertIn("KorvaneOddBig = static_cast<int>(0x80044216),", h)
        self.assertIn("inline constexpr IID IID_IGamma = {0xAAAAAAAA, 0x0000, 0x0000, "
                      "{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03}};", h)
        self.assertIn("inline constexpr GUID LIBID_TestLib", h)
        self.assertIn("CLSID_Thing", h)
        self.assertIn("struct IGamma : public IUnknown {", h)
        # Methods appear in catalogue order, so the vtable is the catalogue's.
        self.assertLess(h.index("get_Level("), h.index("put_Level("))
        self.assertLess(h.index("put_Level("), h.index("get_Beta("))

    @unittest.skipUnless(shutil.which("g++"), "needs g++")
    def test_header_compiles(self):
        out = self.dir / "gen"
        self.assertEqual(gen_com.main([str(self.write()), str(out), "--models", str(self.models)]), 0)
        src = self.dir / "t.cpp"
        src.write_text("#include <korvane/KorvaneCom.h>\n"
                       "struct Impl : IBeta {};\n"
                       "static_assert(sizeof(IID_IAlpha) == 16);\n"
                       "int main() { return KorvaneOddLate; }\n")
        r = subprocess.run(["g++", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
                            f"-I{ROOT / 'include'}", f"-I{out}", str(src)], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_generator_reports_errors_and_fails(self):
        self.files["interfaces-test.toml"] = self.files["interfaces-test.toml"].replace('type = "BSTR"', 'type = "Text"')
        self.assertEqual(self.main(), 1)

    def test_rule_unknown_type(self):
        e = self.errors("interfaces-test.toml", 'type = "BSTR"', 'type = "Text"')
        self.assertRule(e, "unknown-type", "interfaces-test.toml", 'type = "Text"')

    def test_rule_duplicate_member(self):
        # Also across a base: IBeta may not redeclare what IAlpha has.
        e = self.errors("interfaces-test.toml", 'name = "Name"\nparams', 'name = "Beta"\nparams')
        self.assertTrue(any(": duplicate-member: IBeta::get_Beta" in x for x in e), e)
        self.files["interfaces-test.toml"] = INTERFACES + '\n[[interface.member]]\nkind = "put"\nname = "Colour"\ntype = "KorvaneColourEnum"\n'
        with self.assertRaises(kc.CatalogError) as ctx:
            self.load()
        self.assertTrue(any("duplicate-member: IGamma::put_Colour" in x for x in ctx.exception.errors))

    def test_rule_entry_count(self):
        # More entries than declared, and fewer: a partial vtable would be a wrong ABI.
        for entries in ("entries = 3", "entries = 5"):
            with self.subTest(entries):
                self.files["interfaces-test.toml"] = INTERFACES
                e = self.errors("interfaces-test.toml", "entries = 4", entries)
                self.assertRule(e, "entry-count", "interfaces-test.toml", '[[interface]]')

    def test_rule_no_behaviour(self):
        e = self.errors("interfaces-test.toml", 'exclude_families = ["Bormo"]\nimpl = "hook"\n',
                        'exclude_families = ["Bormo"]\n')
        self.assertTrue(any(": no-behaviour: IAlpha::Fetch has no behaviour" in x for x in e), e)
        self.assertEqual(self.main(), 1)

    def test_rule_property_key(self):
        e = self.errors("interfaces-test.toml", 'sim = 2.5', 'sim = 2.5\nkey = "IBeta.Level"')
        self.assertRule(e, "property-key", "interfaces-test.toml", 'key = "IBeta.Level"')
        e = self.errors("interfaces-test.toml", 'key = "IBeta.Level"', 'key = "IAlpha.Lev"')
        self.assertTrue(any("property-key" in x for x in e))

    def test_rule_unknown_family_and_model(self):
        e = self.errors("interfaces-test.toml", 'exclude_families = ["Bormo"]', 'exclude_families = ["Bormo", "Zorro"]')
        self.assertRule(e, "unknown-family", "interfaces-test.toml", 'exclude_families = ["Bormo", "Zorro"]')
        e = self.errors("interfaces-test.toml", 'exclude_families = ["Bormo", "Zorro"]', 'exclude_models = ["M2"]')
        self.assertTrue(any("unknown-model" in x and "'M2'" in x for x in e), e)

    def test_rule_unknown_base_and_order(self):
        e = self.errors("interfaces-test.toml", 'base = "IAlpha"', 'base = "IOmega"')
        self.assertTrue(any("unknown-base: IBeta" in x for x in e), e)
        self.files["interfaces-test.toml"] = INTERFACES
        e = self.errors("library.toml", '["IAlpha", "IBeta", "IGamma"]', '["IBeta", "IAlpha", "IGamma"]')
        self.assertTrue(any("base-order: IBeta extends IAlpha" in x for x in e), e)

    def test_rule_typelib_order(self):
        e = self.errors("library.toml", '["IAlpha", "IBeta", "IGamma"]', '["IAlpha", "IBeta", "IBeta"]')
        self.assertTrue(any("typelib-order: IBeta listed twice" in x for x in e), e)
        self.assertTrue(any("typelib-order: IGamma is missing" in x for x in e), e)

    def test_enum_rules(self):
        e = self.errors("enums.toml", '["Early", 7]', '["Early", 0]')
        self.assertRule(e, "enum-value", "enums.toml", 'members = [["Late", 0], ["Early", 0], ["Big", 0x80044216]]')
        self.files["enums.toml"] = ENUMS
        e = self.errors("enums.toml", '["Red", "Green"]', '["Red", ["Green", 4]]')
        self.assertTrue(any("enum-value" in x and "numbers its members itself" in x for x in e), e)
        self.files["enums.toml"] = ENUMS
        e = self.errors("enums.toml", 'rule = "one"', 'rule = "two"')
        self.assertRule(e, "enum-rule", "enums.toml", 'rule = "two"')
        self.files["enums.toml"] = ENUMS
        e = self.errors("enums.toml", '["Red", "Green"]', '["Red", "Red"]')
        self.assertTrue(any("enum-member" in x for x in e), e)
        self.files["enums.toml"] = ENUMS
        # Enumerators share one scope: two enumerations may not produce the same name.
        e = self.errors("enums.toml", 'name = "KorvaneOddEnum"\nrule = "explicit"\nmembers = [["Late", 0]',
                        'name = "KorvaneOddEnum"\nprefix = "KorvaneColour"\nrule = "explicit"\nmembers = [["Red", 0]')
        self.assertTrue(any("enum-member: KorvaneOddEnum: member KorvaneColourRed is also a member of "
                            "KorvaneColourEnum" in x for x in e), e)

    def test_rule_coclass(self):
        e = self.errors("library.toml", "count = 3", "count = 2")
        self.assertRule(e, "coclass-count", "library.toml", "[[coclass]]")
        self.files["library.toml"] = LIBRARY
        e = self.errors("library.toml", 'default = "IBeta"', 'default = "IDelta"')
        self.assertTrue(any("coclass-default" in x for x in e), e)

    def test_rule_navigation_and_generic(self):
        e = self.errors("interfaces-test.toml", 'type = "IBeta"\nimpl = "navigation"', 'type = "long"\nimpl = "navigation"')
        self.assertTrue(any("navigation: IAlpha::get_Beta" in x for x in e), e)
        self.files["interfaces-test.toml"] = INTERFACES
        e = self.errors("interfaces-test.toml", 'response = "%lf"\n', '')
        self.assertTrue(any("generic-format: IAlpha::get_Level" in x for x in e), e)

    def test_rule_forward(self):
        # The implementation kind follows the row: formats make it generic.
        cat = self.load()
        self.assertEqual([m.impl for m in cat.interfaces["IAlpha"].members], ["generic", "generic", "navigation", "hook"])
        named = 'type = "BSTR"\nforward = "IAlpha.Nothing"'
        e = self.errors("interfaces-test.toml", 'type = "BSTR"\nimpl = "hook"', named)
        self.assertRule(e, "forward", "interfaces-test.toml", 'forward = "IAlpha.Nothing"')
        self.files["interfaces-test.toml"] = INTERFACES
        e = self.errors("interfaces-test.toml", 'type = "BSTR"\nimpl = "hook"', 'type = "BSTR"\nforward = "IAlpha.Level"')
        self.assertTrue(any("IBeta::get_Name: parameters differ from IAlpha::get_Level" in x for x in e), e)

    def test_rule_format(self):
        # Each row: the text replaced, its replacement (whose line the error names), the message.
        cases = [
            ('command = ":LEV %0.15lg"', 'command = ":LEV %d"', "conversion 1 takes Val: a double needs %lg or %lf"),
            ('response = "%lf"', 'response = "%hd"', "conversion 1 takes Val: a double needs %lf or %lg"),
            ('query = ":LEV?"', 'query = ":LEV? %d"', "has 1 conversions but the member passes 0 values (none)"),
            ('response = "%lf"', 'response = "%lf,%lf"', "has 2 conversions but the member passes 1 value (Val)"),
            ('command = ":COL %d"', 'command = ":COL %s"',
             "a KorvaneColourEnum that travels as a word needs %{KorvaneColourEnum} and a map in enum-tokens.toml"),
            ('command = ":COL %d"', 'command = ":COL %{KorvaneOddEnum}s"',
             "%{KorvaneOddEnum} formats a KorvaneOddEnum, not a KorvaneColourEnum"),
            ('command = ":LEV %0.15lg"', 'command = ":LEV %0.15lg%"', "cannot read the conversion at '%'"),
        ]
        for old, new, message in cases:
            with self.subTest(new):
                self.files["interfaces-test.toml"] = INTERFACES
                e = self.errors("interfaces-test.toml", old, new)
                self.assertRule(e, "format", "interfaces-test.toml", new.split("\n")[-1])
                self.assertTrue(any(message in x for x in e), e)

    def test_refused_values(self):
        colour = 'name = "Colour"\ntype = "KorvaneColourEnum"'
        good = colour + '\nrefuse_values = [{ value = "Green", feature = "Green light", interface = "IAlpha" }]'
        self.files["interfaces-test.toml"] = INTERFACES.replace(colour, good)
        # IAlpha's members do not share one guard (only Fetch has one): no guard to take.
        with self.assertRaises(kc.CatalogError) as ctx:
            self.load()
        self.assertTrue(any("interface 'IAlpha' has no one guard" in x for x in ctx.exception.errors))
        for value, guard, message in [("Green", 'exclude_families = ["Bormo"]', None),
                                      ("Blue", 'exclude_families = ["Bormo"]', "needs a value of KorvaneColourEnum"),
                                      ("Green", 'exclude_models = ["M9"]', "unknown or no families and models ['M9']")]:
            with self.subTest(value=value, guard=guard):
                row = colour + f'\nrefuse_values = [{{ value = "{value}", feature = "Green light", {guard} }}]'
                self.files["interfaces-test.toml"] = INTERFACES.replace(colour, row)
                if message is None:
                    put = self.load().interfaces["IGamma"].members[0]
                    self.assertEqual([(r.value, r.feature, r.families) for r in put.refusals],
                                     [(2, "Green light", ["Bormo"])])
                else:
                    with self.assertRaises(kc.CatalogError) as ctx:
                        self.load()
                    self.assertTrue(any("refuse-values" in x and message in x for x in ctx.exception.errors),
                                    ctx.exception.errors)

    def test_rule_sim_default(self):
        e = self.errors("interfaces-test.toml", "sim = 2.5", 'sim = "high"')
        self.assertRule(e, "sim-default", "interfaces-test.toml", 'sim = "high"')


if __name__ == "__main__":
    unittest.main()
