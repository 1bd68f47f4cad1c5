"""Tests of the simulator's settings generator (tools/codegen/gen_sim_settings.py) on a small
synthetic catalogue: header patterns, item ranges, value types, defaults, tokens, and the
formats it leaves out."""
import os
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

ROOT = Path(os.environ.get("KORVANE_SOURCE_DIR", Path(__file__).resolve().parents[2]))
sys.path.insert(0, str(ROOT / "tools" / "codegen"))
import gen_sim_settings as gss  # noqa: E402
import korvane_catalog as kc  # noqa: E402

LIBRARY = """
[library]
name = "KorvaneLib"
helpstring = "test"
libid = "11111111-2222-3333-4444-555555555555"
version = "1.0"
lcid = 0
interface_order = ["IKorvaneProbe"]

[[coclass]]
name = "Korvane"
clsid = "11111111-2222-3333-4444-666666666666"
default = "IKorvaneProbe"
count = 1
"""

MODELS = """
vendor = "V"
[[model]]
id = "A-1"
family = "Bormo"
analog = 2
digital = 0
bandwidth_mhz = 70
[[model]]
id = "D-1"
family = "Dovin"
analog = 4
digital = 16
bandwidth_mhz = 500
"""

ENUMS = """
[[enum]]
name = "KorvaneProbeSlopeEnum"
rule = "zero"
members = ["Positive", "Negative", "PeakDetect", "GreaterThan"]
"""

TOKENS = """
[test]
KorvaneProbeSlopeEnum = [
  { uses = ["IKorvaneProbe.Other"], map = [["Positive", "RISE"]] },
  { map = [["Positive", "POS"], ["Negative", "NEG"], ["PeakDetect", "PEAK"], ["GreaterThan", "GRE"]] },
]
"""


def prop(name, type_, command, query, response="%lf", sim=None, impl="generic", access="rw"):
    lines = [f'kind = "property"', f'name = "{name}"', f'type = "{type_}"', f'impl = "{impl}"',
             f"access = \"{access}\"", f"query = '{query}'", f"response = '{response}'"]
    if command:
        lines.append(f"command = '{command}'")
    if sim is not None:
        lines.append(f"sim = {sim}")
    return "[[interface.member]]\n" + "\n".join(lines) + "\n"


MEMBERS = [
    prop("Level", "double", ":TRIG:GLIT:LEV %0.15lg", ":TRIG:GLIT:LEV?", sim="0.5"),
    prop("Slope", "KorvaneProbeSlopeEnum", ":SBUS%d:UART:SLOP %{KorvaneProbeSlopeEnum}s", ":SBUS%d:UART:SLOP?",
         "%{KorvaneProbeSlopeEnum}[^\\n]", sim='"Negative"'),
    prop("Other", "KorvaneProbeSlopeEnum", ":TRIG:OTH %{KorvaneProbeSlopeEnum}s", ":TRIG:OTH?",
         "%{KorvaneProbeSlopeEnum}[^\\n]"),
    prop("Enabled", "VARIANT_BOOL", ":WGEN%d:OUTP %d", ":WGEN%d:OUTP?", "%d", sim="true"),
    prop("Count", "short", ":FUNC%d:COUN %hd", ":FUNC%d:COUN?", "%hd"),
    prop("Width", "long", ":DIG%d:WIDT %d", ":DIG%d:WIDT?", "%d"),
    prop("Title", "BSTR", ":MTES:TITL %$Bqs", ":MTES:TITL?", "%$B[^\\n]"),
    prop("Source", "BSTR", ":DVM:SOUR %$Bs", ":DVM:SOUR?", "%$B[^\\n]"),
    prop("Data", "BSTR", ':TRIG:PATT:DATA "%$Bs"', ":TRIG:PATT:DATA?", "%$B[^\\n]"),
    prop("Hold", "double", ":TRIG:HOLD %0.15lg", ":TRIG:HOLD?"),
    prop("High", "double", ":TRIG:LEV:HIGH %0.15lg,CHAN1", ":TRIG:LEV:HIGH?"),
    prop("Delay", "long", ":MEAS:DEF DEL,%d", ":MEAS:DEF? DEL", "%d"),
    prop("Twice", "long", ":CHAN%d:WMEM%d:X %d", ":CHAN%d:WMEM%d:X?", "%d"),
    prop("Both", "double", ":SEAR:LEV %0.15lg;:SEAR:MODE EDGE", ":SEAR:LEV?"),
    prop("ReadOnly", "double", None, ":TRIG:RO?", access="r"),
    prop("Hand", "double", ":TRIG:HAND %0.15lg", ":TRIG:HAND?", impl="hook"),
]


def catalogue(tmp: Path, tokens=True):
    (tmp / "library.toml").write_text(LIBRARY)
    (tmp / "models.toml").write_text(MODELS)
    (tmp / "enums.toml").write_text(ENUMS)
    iface = textwrap.dedent("""
        [[interface]]
        name = "IKorvaneProbe"
        iid = "11111111-2222-3333-4444-777777777777"
        base = "IUnknown"
        coclass = "Korvane"
        entries = 31
        """) + "\n".join(MEMBERS)
    (tmp / "interfaces-probe.toml").write_text(iface)
    if tokens:
        (tmp / "enum-tokens.toml").write_text(TOKENS)
    cat = kc.load(tmp, formats=False)  # header shapes, not members' types: "Twice" has two %d
    toks = gss.load_tokens(tmp / "enum-tokens.toml")
    return gss.derive(cat, toks, gss.families_of(tmp))


class Derivation(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.result = catalogue(Path(self.tmp.name))
        self.rows = {r.members[0].split(".")[1]: r for r in self.result.rows}

    def tearDown(self):
        self.tmp.cleanup()

    def test_headers_types_instances_and_defaults(self):
        want = {
            "Level": (":TRIGger:GLITch:LEVel", "Real", "0.5", 0),
            "Slope": (":SBUS#:UART:SLOPe", "Enum", "NEG", 2),  # Dovin has two buses
            "Enabled": (":WGEN#:OUTPut", "Bool", "1", 2),
            "Count": (":FUNCtion#:COUN", "Int", "0", 4),  # COUN: count or counter, stays short
            "Width": (":DIG#:WIDTh", "Int", "0", gss.PER_DIGITAL),
            "Title": (":MTESt:TITL", "String", "", 0),
            "Source": (":DVM:SOURce", "Text", "", 0),
            "Data": (":TRIGger:PATTern:DATA", "String", "", 0),
            "Hold": (":TRIGger:HOLD", "Real", "0", 0),
        }
        got = {k: (r.header, r.type, r.default, r.instances) for k, r in self.rows.items() if k in want}
        self.assertEqual(got, want)
        self.assertNotIn("ReadOnly", self.rows)
        self.assertNotIn("Hand", self.rows)

    def test_tokens_take_long_forms_only_from_plain_or_known_words(self):
        self.assertEqual(self.rows["Slope"].tokens, ["POSitive", "NEGative", "PEAK", "GREaterthan"])
        self.assertEqual(self.rows["Other"].tokens, ["RISE"], "a member's own variant serves it")

    def test_unservable_formats_are_listed_with_a_reason(self):
        reasons = {key.split(".")[1]: why for key, _, why in self.result.skipped}
        self.assertEqual(set(reasons), {"High", "Delay", "Twice", "Both"})
        self.assertIn("several arguments", reasons["High"])
        self.assertIn("query with arguments", reasons["Delay"])
        self.assertIn("more than one item number", reasons["Twice"])
        self.assertIn("compound", reasons["Both"])
        text = gss.render(self.result)
        self.assertIn('G(":SBUS#:UART:SLOPe", T::Enum, "NEG", "POSitive|NEGative|PEAK|GREaterthan", 2),', text)
        self.assertIn('G(":TRIGger:GLITch:LEVel", T::Real, "0.5"),', text)
        self.assertIn("IKorvaneProbe.Twice", text)

    def test_without_a_token_file_enumerations_take_any_token(self):
        with tempfile.TemporaryDirectory() as t:
            result = catalogue(Path(t), tokens=False)
        slope = next(r for r in result.rows if r.members == ["IKorvaneProbe.Slope"])
        self.assertEqual((slope.tokens, slope.default), ([], ""))


class ShortForms(unittest.TestCase):
    def test_standard_abbreviation(self):
        cases = {"TRIGGER": "TRIG", "LEVEL": "LEV", "SOURCE": "SOUR", "QUALIFIER": "QUAL", "MODE": "MODE",
                 "PERIOD": "PER", "AVERAGE": "AVER", "OFFSET": "OFFS"}
        self.assertEqual({w: gss.scpi_short(w) for w in cases}, cases)

    def test_vocabulary_drops_short_forms_of_two_words(self):
        vocab = gss.vocabulary(["POSITION", "POSITIVE", "SOURCE", "MODE"])
        self.assertEqual(vocab, {"SOUR": "SOURce"})


if __name__ == "__main__":
    unittest.main()
