"""Tests of the IVI-C attribute and function tables and their checker.

The published totals and the identifiers with a special role are typed here independently of the
tables; small synthetic tables trigger each validation rule on its own.
"""
import dataclasses
import os
import sys
import tempfile
import textwrap
import unittest
from collections import Counter
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

    def test_totals(self):
        attrs = self.tables.attributes
        self.assertEqual(len(attrs), 678)
        self.assertEqual(len(self.by_id), 678)
        self.assertEqual(Counter(a.type for a in attrs), {"I32": 274, "I64": 3, "R64": 169, "B": 70, "S": 162})
        self.assertEqual(Counter(a.access for a in attrs), {"RW": 610, "R": 66, "W": 2})
        inherent = [a for a in attrs if 1050000 < a.id < 1150000]
        klass = [a for a in attrs if a.id > 1250000]
        driver = [a for a in attrs if 1150001 <= a.id <= 1150698]
        self.assertEqual((len(inherent), len(klass), len(driver)), (21, 44, 613))
        self.assertNotIn(1150000, self.by_id)
        self.assertNotIn(1150699, self.by_id)

    def test_edge_identifiers(self):
        rng = self.by_id[1250001]
        self.assertEqual((rng.interface, rng.name, rng.type, rng.access), ("IIviScopeChannel", "Range", "R64", "RW"))
        self.assertEqual((self.by_id[1250008].name, self.by_id[1250008].type, self.by_id[1250008].access),
                         ("RecordLength", "I32", "R"))
        self.assertEqual((self.by_id[1150434].interface, self.by_id[1150434].name, self.by_id[1150434].access),
                         ("IKorvaneDisplay3", "Sidebar", "W"))
        self.assertEqual([a.id for a in self.tables.attributes if a.access == "W"], [1150434, 1150196])
        prefix = self.by_id[1050302]
        self.assertEqual((prefix.interface, prefix.fixed, prefix.type, prefix.access), ("", "Korvane", "S", "R"))
        self.assertEqual(sorted(a.id for a in self.tables.attributes if a.null_session), [1050515, 1050516])
        self.assertEqual(sorted(a.id for a in self.tables.attributes if a.type == "I64"), [1150076, 1150084, 1150644])

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
        self.assertEqual(Counter(a.repcap for a in self.tables.attributes if a.repcap),
                         {"Channel": 15, "DigitalChannel": 5, "SerialBus": 165, "MathFunction": 27, "WaveGen": 32})

    def test_constant_names(self):
        self.assertEqual(self.by_id[1250001].constant, "KORVANE_ATTR_VERTICAL_RANGE")
        self.assertEqual(self.by_id[1050002].constant, "KORVANE_ATTR_RANGE_CHECK")
        self.assertEqual(self.by_id[1050302].constant, "KORVANE_ATTR_SPECIFIC_DRIVER_PREFIX")
        self.assertEqual(self.by_id[1050203].constant, "KORVANE_ATTR_CHANNEL_COUNT")
        self.assertEqual(self.by_id[1250701].constant, "KORVANE_ATTR_AC_LINE_TRIGGER_SLOPE")
        self.assertEqual(self.by_id[1150107].constant, "KORVANE_ATTR_TIMEBASE_MODE")
        self.assertEqual(self.by_id[1150279].constant, "KORVANE_ATTR_SERIAL_BUS_CAN_BAUD_RATE")
        self.assertEqual(len({a.constant for a in self.tables.attributes}), 678)


ATTR_HEAD = """
[repcap.Channel]
collection = "IIviScopeMeasurements"
coclass = "KorvaneChannel"
"""


class AttributeRules(unittest.TestCase):
    def check(self, body, expected=None):
        with tempfile.TemporaryDirectory() as d:
            p = Path(d) / "attributes.toml"
            p.write_text(ATTR_HEAD + textwrap.dedent(body))
            report = it.Report()
            it.load_attributes(p, report, expected)
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
                        '{ id = 1150699, name = "Mode", type = "I32", access = "RW", constant = "KORVANE_ATTR_A" },\n]',
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

    def test_totals_rule(self):
        body = '[[group]]\ninterface = "IKorvaneTimebase"\nattributes = [\n' \
               '{ id = 1150107, name = "Mode", type = "I32", access = "RW", constant = "KORVANE_ATTR_A" },\n]'
        report = self.check(body, it.EXPECTED_ATTRIBUTES)
        self.assertEqual(report.rules(), {"totals"})
        self.assertEqual(len(report.errors), 4)  # total, types, access, ranges
        exact = {"total": 1, "type": {"I32": 1, "I64": 0, "R64": 0, "B": 0, "S": 0},
                 "access": {"RW": 1, "R": 0, "W": 0}, "range": {"inherent": 0, "class": 0, "driver": 1}}
        self.assertEqual(self.check(body, exact).errors, [])


@unittest.skipIf(_com_catalogue() is None, "the COM catalogue does not load right now")
class AttributeCrossCheck(unittest.TestCase):
    """Against the COM catalogue: complete interfaces give errors, incomplete ones warnings."""

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

    def test_incomplete_interface_warns(self):
        # An interface still being filled: same members, more entries declared.
        cat = _com_catalogue()
        full = cat.interfaces["IIviScopeAcquisition"]
        cat.interfaces = dict(cat.interfaces, IIviScopeAcquisition=dataclasses.replace(full, entries=full.entries + 1))
        report = it.Report()
        attrs = [it.Attribute(1250104, "IIviScopeAcquisition", "Averages", "I32", "RW", "KORVANE_ATTR_X", None, None,
                              None, False, "t:1"),
                 it.Attribute(1250008, "IIviScopeAcquisition", "RecordLength", "R64", "R", "KORVANE_ATTR_Y", None,
                              None, None, False, "t:2")]
        it.cross_check_attributes(attrs, cat, report, {})
        self.assertEqual(report.errors, [])
        self.assertEqual(report.rules(warnings=True), {"unknown-property", "property-type"})


class PublishedFunctions(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tables = it.load(ROOT / "catalog", catalog=_com_catalogue())
        cls.by_name = {f.name: f for f in cls.tables.functions}

    def params(self, name):
        return [str(p) for p in self.by_name[name].params]

    def test_totals(self):
        self.assertEqual(len(self.by_name), 227)
        self.assertEqual(16 + 12 + len(self.by_name), 255)
        fam = Counter(x for f in self.tables.functions for x in f.family)
        self.assertEqual((fam["repcap"], fam["string-in"], fam["array-in"]), (53, 38, 8))
        self.assertEqual(sum(1 for f in self.tables.functions if f.repcap == "SerialBus"), 24)
        self.assertTrue(all(f.name.startswith("Korvane_") for f in self.tables.functions))

    def test_waveform_functions(self):
        self.assertEqual(self.params("Korvane_FetchWaveform"),
                         ["ViConstString Channel", "ViInt32 WaveformSize", "ViReal64 WaveformArray[]",
                          "ViInt32* ActualPoints", "ViReal64* InitialX", "ViReal64* XIncrement"])
        self.assertEqual(self.by_name["Korvane_FetchWaveform"].null_messages,
                         ["Parameter ActualPoints is VI_NULL.", "Parameter InitialX is VI_NULL.",
                          "Parameter XIncrement is VI_NULL."])
        self.assertEqual(self.by_name["Korvane_FetchWaveform"].collection, "IIviScopeMeasurements")
        self.assertEqual(self.params("Korvane_ReadMinMaxWaveform"),
                         ["ViConstString Channel", "ViInt32 WaveformSize", "ViInt32 MaxTimeMilliseconds",
                          "ViReal64 MinWaveform[]", "ViReal64 MaxWaveform[]", "ViInt32* ActualPoints",
                          "ViReal64* InitialX", "ViReal64* XIncrement"])
        self.assertEqual(self.by_name["Korvane_MeasurementReadWaveform"].collection, "IKorvaneMeasurements")
        digital = self.by_name["Korvane_DigitalChannelFetchDigitalWaveform"]
        self.assertEqual((digital.collection, digital.null_messages[0]),
                         ("IKorvaneDigitalChannels", "Parameter WaveformArrayActualSize is VI_NULL."))
        self.assertIn("ViByte WaveformArray[]", self.params("Korvane_DigitalChannelReadDigitalWaveform"))

    def test_byte_and_string_functions(self):
        bitmap = self.by_name["Korvane_DisplayGetScreenBitmap"]
        self.assertEqual(bitmap.null_messages, ["Parameter ValActualSize is VI_NULL."])
        self.assertEqual(self.params("Korvane_DisplayGetScreenBitmap")[2:], ["ViInt32 ValSize", "ViByte Val[]",
                                                                              "ViInt32* ValActualSize"])
        self.assertEqual(self.params("Korvane_viWrite"), ["ViInt64 Count", "ViByte Buffer[]", "ViInt64* ReturnCount"])
        self.assertEqual(self.params("Korvane_viRead"), ["ViInt64 Count", "ViByte Buffer[]", "ViInt64* ReturnCount"])
        self.assertEqual(self.by_name["Korvane_viWrite"].extra["clamp"], 2147483647)
        self.assertEqual(self.params("Korvane_SystemReadString"), ["ViInt32 ValBufferSize", "ViChar Val[]"])
        self.assertEqual(self.params("Korvane_GetChannelName"), ["ViInt32 Index", "ViInt32 NameBufferSize", "ViChar Name[]"])
        self.assertEqual(self.params("Korvane_ConfigureChannel"),
                         ["ViConstString Channel", "ViReal64 Range", "ViReal64 Offset", "ViInt32 Coupling",
                          "ViReal64 ProbeAttenuation", "ViBoolean Enabled"])
        self.assertEqual(self.by_name["Korvane_ActualRecordLength"].null_messages,
                         ["Parameter ActualRecordLength is VI_NULL."])
        self.assertEqual(self.by_name["Korvane_SetArbitraryDACData"].params[0].type, "ViInt32")
        self.assertEqual(self.by_name["Korvane_SetArbitraryDACData"].params[1].type, "ViInt16")
        arinc = self.by_name["Korvane_SerialBusARINC429AutoSetup"]
        self.assertEqual((arinc.collection, arinc.interface, arinc.family), ("IKorvane2SerialBuses",
                                                                             "IKorvane2SerialBusARINC429",
                                                                             ["action", "repcap"]))


class FunctionRules(unittest.TestCase):
    GOOD = {"name": "Korvane_TriggerGlitchGetRange", "interface": "IKorvaneTriggerGlitch", "method": "GetRange",
            "family": ["query"], "com": ["out double MinWidth", "out double MaxWidth"],
            "params": ["ViReal64* MinWidth", "ViReal64* MaxWidth"],
            "null_messages": ["Parameter MinWidth is VI_NULL.", "Parameter MaxWidth is VI_NULL."]}

    def check(self, *funcs, expected=None):
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
            it.load_functions(p, report, {"SerialBus": {"collection": "IKorvane2SerialBuses"}}, (), expected)
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
        self.assertEqual(self.check(self.GOOD, expected=227).rules(), {"totals"})

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
