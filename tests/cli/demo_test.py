"""The demo end to end: it must exit 0, identify the instrument in both modes, and whatever it
reports as done must have happened: a waveform read means a CSV with the requested points and an
SVG that parses and plots both channels. Steps the driver does not offer yet are reported as such
and must then leave no file behind.

Usage: demo_test.py <source dir> <build dir>
"""
import csv
import os
import re
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

SRC = BUILD = None
POINTS = 500
SVG_NS = "{http://www.w3.org/2000/svg}"


class Demo(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        env = dict(os.environ, KORVANE_DEMO_POINTS=str(POINTS))
        p = subprocess.run([os.path.join(SRC, "scripts", "demo"), BUILD, cls.tmp.name], capture_output=True,
                           text=True, timeout=300, env=env, stdin=subprocess.DEVNULL)
        cls.rc, cls.out, cls.err = p.returncode, p.stdout, p.stderr
        # "<mode> <step title> <outcome>" lines of the summary.
        summary = cls.out.split("== Summary", 1)[-1]
        cls.steps = {}
        for line in summary.splitlines():
            m = re.match(r"\s+(simulator|simulate)\s+(.+?)\s{2,}(ok|FAILED)$", line)
            if m:
                cls.steps[(m.group(1), m.group(2))] = m.group(3)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def outcome(self, mode, prefix):
        found = [v for (m, t), v in self.steps.items() if m == mode and t.startswith(prefix)]
        self.assertEqual(len(found), 1, f"no single '{prefix}' step for {mode} in:\n{self.out}")
        return found[0]

    def test_exits_0_with_no_failed_step(self):
        self.assertEqual(self.rc, 0, self.out + self.err)
        self.assertGreaterEqual(len(self.steps), 20, self.out)
        self.assertNotIn("FAILED", self.steps.values())

    def test_identifies_the_instrument_in_both_modes(self):
        for mode in ("simulator", "simulate"):
            self.assertEqual(self.outcome(mode, "identify"), "ok")
        self.assertEqual(self.out.count("MSO-CD1000, firmware"), 2, self.out)
        self.assertIn("(simulated)", self.out)

    def check_files(self, mode, folder, exact_points):
        csv_path, svg_path = os.path.join(folder, "waveforms.csv"), os.path.join(folder, "waveforms.svg")
        if self.outcome(mode, "read Channel1 and Channel2") != "ok":
            self.assertFalse(os.path.exists(csv_path) or os.path.exists(svg_path),
                             "a waveform step that did not run left files")
            return
        with open(csv_path, newline="") as f:
            rows = list(csv.reader(f))
        self.assertEqual(rows[0][0], "time_s")
        self.assertTrue(any("Channel1" in h for h in rows[0]) and any("Channel2" in h for h in rows[0]), rows[0])
        if exact_points:
            self.assertEqual(len(rows) - 1, POINTS)
        else:
            self.assertTrue(0 < len(rows) - 1 <= POINTS)
        for r in rows[1:]:
            [float(x) for x in r if x]
        root = ET.parse(svg_path).getroot()
        self.assertEqual(root.tag, SVG_NS + "svg")
        self.assertEqual(len(root.findall(f".//{SVG_NS}polyline")), 2)
        title = root.find(f"{SVG_NS}title").text
        self.assertIn("Channel1", title)
        self.assertIn("MSO-CD1000", title)
        texts = " ".join(t.text or "" for t in root.iter(SVG_NS + "text"))
        # The driver's own simulation hands out records without a time step (XIncrement 0): those
        # are drawn over their sample numbers.
        self.assertIn("Time (" if exact_points else "Sample (", texts)
        self.assertIn("Voltage (", texts)
        # Placeholder data must not pass for a measurement, on screen or in the plot.
        if mode == "simulate":
            self.assertIn("simulated by the driver", texts)
            self.assertIn("Simulated data:", self.out)
        else:
            self.assertNotIn("simulated by the driver", texts)

    def test_measurements_match_the_configured_signals(self):
        if self.outcome("simulator", "measure Channel1") != "ok":
            return
        prefixes = {"p": 1e-12, "n": 1e-9, "\u00b5": 1e-6, "m": 1e-3, "": 1, "k": 1e3, "M": 1e6, "G": 1e9}
        section = self.out.split("== 2.", 1)[0]
        for channel, frequency, vpp in (("Channel1", 1e3, 1.0), ("Channel2", 2e3, 2.0)):
            block = section.split(f"measure {channel}", 1)[1]
            found = {}
            for name, number, prefix in re.findall(r"\n\s+(\w+)\s+(-?[\d.e+-]+) (\S?)(?:Hz|V|s)\b", block)[:3]:
                found[name] = float(number) * prefixes[prefix]
            self.assertAlmostEqual(found["Frequency"], frequency, delta=frequency * 0.02, msg=block)
            self.assertAlmostEqual(found["VoltagePeakToPeak"], vpp, delta=vpp * 0.02, msg=block)

    def test_waveform_files_when_the_read_is_available(self):
        self.check_files("simulator", self.tmp.name, exact_points=True)
        # The driver's own simulation makes up a short record of its own length.
        self.check_files("simulate", os.path.join(self.tmp.name, "simulated"), exact_points=False)


if __name__ == "__main__":
    SRC, BUILD = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
