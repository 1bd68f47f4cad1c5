"""Tests of the enumeration token file and its generator (tools/codegen/gen_enum_maps.py).

The checks run against the real catalogue with small token texts, one rule at a time; the real
token file is then held to the tokens the driver's commands are defined with.
"""
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

ROOT = Path(os.environ.get("KORVANE_SOURCE_DIR", Path(__file__).resolve().parents[2]))
sys.path.insert(0, str(ROOT / "tools" / "codegen"))
import gen_enum_maps as gem  # noqa: E402
import korvane_catalog as kc  # noqa: E402

TOKENS = ROOT / "catalog" / "enum-tokens.toml"


def _with_real_file(extra: str) -> str:
    """The real token file plus one more table, so only the rule under test can fire."""
    return TOKENS.read_text(encoding="utf-8") + "\n" + textwrap.dedent(extra)


class Rules(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cat = kc.load(ROOT / "catalog")

    def errors(self, extra):
        with self.assertRaises(gem.TokenError) as caught:
            gem.check(_with_real_file(extra), "t.toml", self.cat)
        return caught.exception.errors

    def assertRule(self, extra, rule, line_text=None):
        errors = self.errors(extra)
        self.assertEqual(len(errors), 1, errors)
        path, line, found, _ = errors[0].split(":", 3)
        self.assertEqual((path, found.strip()), ("t.toml", rule), errors[0])
        if line_text is not None:
            text = _with_real_file(extra).splitlines()[int(line) - 1]
            self.assertIn(line_text, text)

    def test_unknown_enumeration_and_ivi_enumeration(self):
        self.assertRule('[x]\nKorvaneNoSuchEnum = [["A", "A"]]\n', "unknown-enum", "KorvaneNoSuchEnum")
        self.assertRule('[x]\nIviScopeSampleModeEnum = [["RealTime", "RTIM"]]\n', "unknown-enum")

    def test_unknown_member_word_points_at_its_entry(self):
        self.assertRule('[x]\nKorvaneJitterMeasurementUnitEnum = [\n  ["Bogus", "B"],\n]\n', "unknown-word", "Bogus")

    def test_one_enumeration_in_two_tables(self):
        self.assertRule('[x]\nKorvaneTriggerZoneModeEnum = [["Intersect", "I"]]\n', "duplicate-enum")

    def test_unknown_use_member_and_member_of_another_type(self):
        base = '[x]\nKorvaneJitterMeasurementUnitEnum = [{{ uses = ["{0}"], map = [["{1}", "X"]] }}]\n'
        word = self.cat.enums["KorvaneJitterMeasurementUnitEnum"].members[0].word
        self.assertRule(base.format("IKorvaneNothing.Type", word), "unknown-use")
        # A real member that does not take this enumeration is no use of it either.
        self.assertRule(base.format("IKorvaneTrigger.Type", word), "unknown-use")

    def test_duplicate_value_in_one_map(self):
        enum = self.cat.enums["KorvaneJitterMeasurementUnitEnum"]
        w = enum.members[0].word
        self.assertRule(f'[x]\nKorvaneJitterMeasurementUnitEnum = [["{w}", "A"],\n  ["{w}", "B"]]\n',
                        "duplicate-value", '"B"')

    def test_tokens_with_white_space_or_empty(self):
        w = self.cat.enums["KorvaneJitterMeasurementUnitEnum"].members[0].word
        self.assertRule(f'[x]\nKorvaneJitterMeasurementUnitEnum = [["{w}", "A B"]]\n', "token-space")
        self.assertRule(f'[x]\nKorvaneJitterMeasurementUnitEnum = [["{w}", "A\\n"]]\n', "token-space")
        self.assertRule(f'[x]\nKorvaneJitterMeasurementUnitEnum = [["{w}", ""]]\n', "token-space")

    def test_variants_need_a_default_model_and_distinct_uses(self):
        w = self.cat.enums["KorvaneJitterMeasurementUnitEnum"].members[0].word
        model = self.cat.models[0]
        self.assertRule(f'[x]\nKorvaneJitterMeasurementUnitEnum = [{{ model = "{model}", map = [["{w}", "A"]] }}]\n',
                        "no-default")
        self.assertRule(f'[x]\nKorvaneJitterMeasurementUnitEnum = [{{ model = "NoSuchModel", map = [["{w}", "A"]] }}]\n',
                        "unknown-model")
        text = TOKENS.read_text(encoding="utf-8").replace(
            'uses = ["IKorvaneAcquisition.SampleMode", ""]', 'uses = ["IKorvaneAcquisition3.SetSampleMode", ""]')
        with self.assertRaises(gem.TokenError) as caught:
            gem.check(text, "t.toml", self.cat)
        self.assertEqual(len(caught.exception.errors), 1, caught.exception.errors)
        self.assertIn("duplicate-use: KorvaneSampleModeEnum: 'IKorvaneAcquisition3.SetSampleMode'",
                      caught.exception.errors[0])

    def test_every_formatted_enumeration_needs_a_map(self):
        text = TOKENS.read_text(encoding="utf-8").replace("KorvaneTimebaseModeEnum =", "# KorvaneTimebaseModeEnum =")
        with self.assertRaises(gem.TokenError) as caught:
            gem.check(text, "t.toml", self.cat)
        self.assertEqual(len(caught.exception.errors), 1, caught.exception.errors)
        self.assertIn("missing-map: KorvaneTimebaseModeEnum is formatted by IKorvaneTimebase.Mode",
                      caught.exception.errors[0])

    def test_command_line_reports_and_fails(self):
        with tempfile.TemporaryDirectory() as tmp:
            bad = Path(tmp) / "bad.toml"
            bad.write_text(_with_real_file('[x]\nKorvaneNoSuchEnum = [["A", "A"]]\n'), encoding="utf-8")
            run = subprocess.run([sys.executable, str(ROOT / "tools" / "codegen" / "gen_enum_maps.py"),
                                  str(ROOT / "catalog"), str(bad), str(Path(tmp) / "out.inc")],
                                 capture_output=True, text=True)
            self.assertEqual(run.returncode, 1)
            self.assertIn("unknown-enum", run.stderr)
            self.assertFalse((Path(tmp) / "out.inc").exists())


class RealTokens(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cat = kc.load(ROOT / "catalog")
        cls.maps = {m.name: m for m in gem.check(TOKENS.read_text(encoding="utf-8"), str(TOKENS), cls.cat)}

    def first_tokens(self, name, use=None):
        variant = next(v for v in self.maps[name].variants if use is None or use in (v.uses or ()))
        default = next(m for m in variant.maps if m.model == "")
        return [(e.value, e.tokens[0] if e.tokens else "") for e in default.entries]

    def test_trigger_type_order_and_tokens(self):
        self.assertEqual(self.first_tokens("KorvaneTriggerTypeEnum"), [
            (1, "EDGE"), (2, "PATT"), (3, "RUNT"), (4, "GLIT"), (5, "TV"), (7, "ACL"), (8, "PATT"), (0, "DEL"),
            (6, "EBUR"), (9, "SHOL"), (10, "TRAN"), (11, "SBUS1"), (12, "SBUS2"), (13, "USB"), (14, "NONE"),
            (15, "OR")])

    def test_acquisition_and_sample_mode(self):
        self.assertEqual([t for _, t in self.first_tokens("KorvaneAcquisitionTypeEnum")], ["NORM", "PEAK", "HRES", "AVER"])
        self.assertEqual(self.first_tokens("KorvaneSampleModeEnum", "IKorvaneAcquisition3.SetSampleMode"),
                         [(0, "RTIM"), (1, "SEGM"), (2, "ETIM"), (3, "MRT")])
        uses = {v.uses for v in self.maps["KorvaneSampleModeEnum"].variants}
        self.assertEqual(uses, {("IKorvaneAcquisition3.SetSampleMode",), ("IKorvaneAcquisition.SampleMode", "")})

    def test_measurement_tokens(self):
        expected = ("RIS FALL FREQ PER VRMS VPP VMAX VMIN VTOP VBAS VAV NWID PWID DUTY DUTY VAMP VRMS VAV OVER PRES "
                    "COUN XMAX XMIN DEL PHAS VTIM TVAL TEDG ARE BWID NEDG NPUL PEDG PPUL SDEV BRAT").split()
        self.assertEqual(self.first_tokens("KorvaneMeasurementEnum"), list(enumerate(expected)))

    def test_other_fixed_tokens(self):
        self.assertEqual(self.first_tokens("KorvaneWaveformDataFormatEnum"), [(0, "WORD"), (1, "BYTE"), (2, "ASC")])
        self.assertEqual(self.first_tokens("KorvaneMeasurementReferenceModeEnum"), [(0, "PERC"), (1, "ABS")])
        self.assertEqual(self.first_tokens("KorvaneVerticalCouplingEnum"), [(0, "AC"), (1, "DC")])
        bools = self.maps["VARIANT_BOOL"].variants[0].maps[0].entries
        self.assertEqual([(e.value, e.tokens) for e in bools], [(-1, ["1", "ON"]), (0, ["0", "OFF"])])

    def test_only_the_intended_maps_write_one_token_for_two_values(self):
        shared = set()
        for name, em in self.maps.items():
            for v in em.variants:
                for m in v.maps:
                    firsts = [e.tokens[0] for e in m.entries if e.tokens]
                    if len(firsts) != len(set(firsts)):
                        shared.add(name)
        self.assertEqual(shared, {"KorvaneTriggerTypeEnum", "KorvaneMeasurementEnum"})

    def test_every_value_of_a_mapped_enumeration_has_a_token(self):
        for name, em in self.maps.items():
            if name == "VARIANT_BOOL":
                continue
            values = {m.value for m in self.cat.enums[name].members}
            for v in em.variants:
                for m in v.maps:
                    self.assertEqual({e.value for e in m.entries}, values, f"{name} {v.uses} {m.model!r}")

    def test_generated_pool_keeps_digits_after_separators(self):
        text = gem.render(list(self.maps.values()), self.cat)
        # "20HZ" then "100HZ": a plain \\0 before the 1 would read as one octal escape.
        self.assertIn('20HZ\\000100HZ', text)
        self.assertNotRegex(text, r'\\0[1-7]')
