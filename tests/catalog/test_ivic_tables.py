"""Tests of the IVI-C attribute and function tables and their checker.

Small synthetic tables trigger each validation rule on its own; the published identifiers,
types and prototypes are held by catalog/contract.lock, not restated here.
"""
import os
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

ROOT = Path(os.environ.get("KORVANE_SOURCE_DIR", Path(__file__).resolve().parents[2]))
sys.path.insert(0, str(ROOT / "tools" / "codegen"))
import ivic_tables as it  # noqa: E402
import korvane_catalog as kc  # noqa: E402


def _com_catalogue():
    try:
        return kc.load(ROOT / "catalog")
    except kc.CatalogError:
        return None  # another area is mid-edit; the tables are still checked on their own


class PublishedAttributes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tables = it.load(ROOT / "catalog", catalog=_com_catalogue(), cross_check=True)
        cls.by_id = {a.id: a for a in cls.tables.attributes}

    def test_repeated_capabilities(self):
        enabled = self.by_id[1250005]
        self.assertEqual((enabled.repcap, enabled.collection), ("Channel", "IIviScopeMeasurements"))
        self.assertEqual(self.by_id[1150026].collection, "IIviScopeMeasurements")  # IKorvaneChannel.Invert
        self.assertEqual(self.by_id[1150039].collection, "IKorvaneDigitalChannels")
        self.assertEqual(self.by_id[1150624].collection, "IKorvane2SerialBuses")
        self.assertEqual(self.by_id[1150597].collection, "IKorvaneMathFunctions")
        self.assertEqual(self.by_id[1150659].collection, "IKorvaneWaveGens")
        # Collection counts and the root's own sub-objects are not per item.
        for ident in (1050203, 1150038, 1150272, 1150432, 1150525, 1150095, 1150049):
            self.assertIsNone(self.by_id[ident].repcap, ident)


ATTR_HEAD = """
[repcap.Channel]
collection = "IIviScopeMeasurements"
coclass = "KorvaneChannel"
"""


class AttributeRules(unittest.TestCase):
    def check(self, body):
        with tempfile.TemporaryDirectory() as d:
            p = Path(d) / "attributes.toml"
            p.write_text(ATTR_HEAD + textwrap.dedent(body))
            report = it.Report()
            it.load_attributes(p, report)
        return report

    def test_each_rule(self):
        cases = {
            "duplicate-id": '[[group]]\ninterface = "IKorvaneTimebase"\nattributes = [\n'
                            '{ id = 1150107, name = "Mode", type = "I32", access = "RW", constant = "KORVANE_ATTR_A" },\n'
                            '{ id = 1150107, name = "Scale", type = "R64", access = "RW", constant = "KORVANE_ATTR_B" },\n]',
            "duplicate-constant": '[[group]]\ninterface = "IKorvaneTimebase"\nattributes = [\n'
                                  '{ id = 1150107, name = "Mode", type = "I32", access = "RW", constant = "KORVANE_ATTR_A" },\n'
                                  '{ id = 1150108, name = "Scale", type = "R64", access = "RW", constant = "KORVANE_ATTR_A" },\n]',
            "id-range": '[[group]]\ninterface = "IKorvaneTimebase"\nattributes = [\n'
                        '{ id = 1250000, name = "Mode", type = "I32", access = "RW", constant = "KORVANE_ATTR_A" },\n]',
            "unknown-type": '[[group]]\ninterface = "IKorvaneTimebase"\nattributes = [\n'
                            '{ id = 1150107, name = "Mode", type = "I16", access = "RW", constant = "KORVANE_ATTR_A" },\n]',
            "unknown-access": '[[group]]\ninterface = "IKorvaneTimebase"\nattributes = [\n'
                              '{ id = 1150107, name = "Mode", type = "I32", access = "RO", constant = "KORVANE_ATTR_A" },\n]',
            "unknown-repcap": '[[group]]\ninterface = "IKorvaneChannel"\nrepcap = "Probe"\nattributes = [\n'
                              '{ id = 1150026, name = "Invert", type = "B", access = "RW", constant = "KORVANE_ATTR_A" },\n]',
            "constant-name": '[[group]]\ninterface = "IKorvaneTimebase"\nattributes = [\n'
                             '{ id = 1150107, name = "Mode", type = "I32", access = "RW", constant = "TIMEBASE_MODE" },\n]',
            "no-property": '[[group]]\ninterface = ""\nattributes = [\n'
                           '{ id = 1050302, name = "Prefix", type = "S", access = "R", constant = "KORVANE_ATTR_P" },\n]',
            "missing-field": '[[group]]\ninterface = "IKorvaneTimebase"\nattributes = [\n'
                             '{ id = 1150107, name = "Mode", type = "I32", constant = "KORVANE_ATTR_A" },\n]',
            "syntax": '[[group]]\ninterface = "IKorvaneTimebase\n',
        }
        for rule, body in cases.items():
            with self.subTest(rule):
                report = self.check(body)
                self.assertEqual(report.rules(), {rule}, report.errors)
                self.assertRegex(report.errors[0], r"attributes\.toml:\d+: ")
        # The line points at the offending row, not at the file's top.
        report = self.check(cases["unknown-type"])
        self.assertTrue(report.errors[0].split(":")[1] == str(ATTR_HEAD.count("\n") + 4), report.errors)
        # A driver identifier under an IVI interface is out of range too.
        report = self.check('[[group]]\ninterface = "IIviScopeTrigger"\nattributes = [\n'
                            '{ id = 1150107, name = "Level", type = "R64", access = "RW", constant = "KORVANE_ATTR_A" },\n]')
        self.assertEqual(report.rules(), {"id-range"})

@unittest.skipIf(_com_catalogue() is None, "the COM catalogue does not load right now")
class AttributeCrossCheck(unittest.TestCase):
    """Against the COM catalogue."""

    def run_on(self, rows, repcap=None, iface="IIviScopeAcquisition"):
        cat = _com_catalogue()
        report = it.Report()
        attrs = [it.Attribute(i, iface, n, t, a, f"KORVANE_ATTR_X{i}", repcap, None, None, False, f"t:{i}")
                 for i, n, t, a in rows]
        it.cross_check_attributes(attrs, cat, report, {"Channel": {"coclass": "KorvaneChannel"}})
        return report

    def test_complete_interface(self):
        self.assertEqual(self.run_on([(1250008, "RecordLength", "I32", "R")]).errors, [])
        r = self.run_on([(1250008, "RecordLength", "R64", "R"), (1250010, "SampleRate", "R64", "RW"),
                         (1250104, "Averages", "I32", "RW")])
        self.assertEqual([e.split(": ")[1] for e in r.errors], ["property-type", "property-access", "unknown-property"])
        self.assertEqual(r.warnings, [])
        self.assertEqual(self.run_on([(1250001, "Range", "R64", "RW")], None, "IIviScopeChannel").rules(),
                         {"repcap-object"})
        self.assertEqual(self.run_on([(1250001, "Range", "R64", "RW")], "Channel", "IIviScopeChannel").errors, [])
        self.assertEqual(self.run_on([(1150001, "Count", "I32", "R")], None, "IKorvaneNoSuch").rules(),
                         {"unknown-interface"})

class PublishedFunctions(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tables = it.load(ROOT / "catalog", catalog=_com_catalogue())
        cls.by_name = {f.name: f for f in cls.tables.functions}

    def test_item_functions_find_their_collection(self):
        # The collection comes from the repeated capability unless the row names its own.
        self.assertEqual(self.by_name["Korvane_FetchWaveform"].collection, "IIviScopeMeasurements")
        self.assertEqual(self.by_name["Korvane_MeasurementReadWaveform"].collection, "IKorvaneMeasurements")
        self.assertEqual(self.by_name["Korvane_DigitalChannelFetchDigitalWaveform"].collection, "IKorvaneDigitalChannels")
        self.assertEqual(self.by_name["Korvane_SerialBusARINC429AutoSetup"].collection, "IKorvane2SerialBuses")
        self.assertEqual(self.by_name["Korvane_viWrite"].extra["clamp"], 2147483647)


class FunctionRules(unittest.TestCase):
    GOOD = {"name": "Korvane_TriggerGlitchGetRange", "interface": "IKorvaneTriggerGlitch", "method": "GetRange",
            "family": ["query"], "com": ["out double MinWidth", "out double MaxWidth"],
            "params": ["ViReal64* MinWidth", "ViReal64* MaxWidth"],
            "null_messages": ["Parameter MinWidth is VI_NULL.", "Parameter MaxWidth is VI_NULL."]}

    def check(self, *funcs):
        def toml(f):
            rows = ["[[function]]"]
            for k, v in f.items():
                rows.append(f"{k} = " + (f'"{v}"' if isinstance(v, str) else
                                         "[" + ", ".join(f'"{x}"' for x in v) + "]"))
            return "\n".join(rows)
        with tempfile.TemporaryDirectory() as d:
            p = Path(d) / "functions.toml"
            p.write_text("\n\n".join(toml(f) for f in funcs) + "\n")
            report = it.Report()
            it.load_functions(p, report, {"SerialBus": {"collection": "IKorvane2SerialBuses"}}, ())
        return report

    def test_good_row_passes(self):
        self.assertEqual(self.check(self.GOOD).errors, [])

    def test_each_rule(self):
        g = self.GOOD
        cases = {
            "duplicate-function": [g, g],
            "function-name": [dict(g, name="Scope_TriggerGlitchGetRange")],
            "unknown-family": [dict(g, family=["query", "getter"])],
            "c-params": [dict(g, params=["ViInt32* MinWidth", "ViReal64* MaxWidth"])],
            "family-shape": [dict(g, family=["configure"])],
            "null-check": [dict(g, null_messages=["Parameter MaxWidth is VI_NULL.", "Parameter MinWidth is VI_NULL."])],
            "repcap": [dict(g, family=["query", "repcap"])],
            "unknown-repcap": [dict(g, family=["action", "repcap"], repcap="Probe", collection="IKorvaneProbes",
                                    com=[], params=["ViConstString Name"], null_messages=[])],
            "param": [dict(g, params=["ViReal64 *MinWidth", "ViReal64* MaxWidth"])],
            "com-param": [dict(g, com=["output double MinWidth", "out double MaxWidth"])],
            "missing-field": [{k: v for k, v in g.items() if k != "method"}],
        }
        for rule, funcs in cases.items():
            with self.subTest(rule):
                report = self.check(*funcs)
                self.assertIn(rule, report.rules(), report.errors)
                self.assertRegex(report.errors[0], r"functions\.toml:\d+: ")

    def test_conversion_rules(self):
        com = [it.parse_com_param(x) for x in ("in long MaxTimeMilliseconds", "inout SAFEARRAY(double) Min",
                                               "inout SAFEARRAY(double) Max", "out double InitialX")]
        self.assertEqual([str(p) for p in it.c_params(com, "Name", ["array-out"], None, True)],
                         ["ViConstString Name", "ViInt32 MinSize", "ViInt32 MaxTimeMilliseconds", "ViReal64 Min[]",
                          "ViReal64 Max[]", "ViInt32* MaxActualSize", "ViReal64* InitialX"])
        # The same in-out array is an input when the family says so.
        dac = [it.parse_com_param("inout SAFEARRAY(short) Values")]
        self.assertEqual([str(p) for p in it.c_params(dac, None, ["array-in"])], ["ViInt32 ValuesSize", "ViInt16 Values[]"])
        both = [it.parse_com_param("in KorvaneStatusRegisterEnum Register"), it.parse_com_param("retval BSTR Val"),
                it.parse_com_param("in VARIANT_BOOL On"), it.parse_com_param("out int64 Count")]
        self.assertEqual([str(p) for p in it.c_params(both)],
                         ["ViInt32 Register", "ViInt32 ValBufferSize", "ViChar Val[]", "ViBoolean On", "ViInt64* Count"])

if __name__ == "__main__":
    unittest.main()
