"""Tests of the IVI-C attribute and function tables and their checker.

The published totals and the identifiers with a special role are typed here independently of the
tables; small synthetic tables trigger each validation rule on its own.
"""
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
        cat = _com_catalogue()
        partial = next((i for i in cat.interfaces.values() if 0 < i.entered < i.entries and i.coclass == "Korvane"), None)
        if partial is None:
            self.skipTest("every interface is complete")
        r = self.run_on([(1150999, "NoSuchProperty", "I32", "RW")], None, partial.name)
        self.assertEqual(r.errors, [])
        self.assertEqual(r.rules(warnings=True), {"unknown-property"})


if __name__ == "__main__":
    unittest.main()
