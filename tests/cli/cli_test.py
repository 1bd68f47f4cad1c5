"""The korvane tool from the outside: argument handling, error paths and exit codes.

Usage: cli_test.py <korvane> <korvane-scope-sim>
Exit codes under test: 0 done, 1 the driver or instrument failed, 2 bad input, 3 the driver does
not implement the member yet.
"""
import socket
import subprocess
import sys
import time
import unittest

KORVANE = SIM = None
SIMULATE = "Simulate=true, DriverSetup= Model=MSO-CD1000"
RES = "TCPIP0::127.0.0.1::5025::SOCKET"


def run(*args, timeout=60):
    p = subprocess.run([KORVANE, *args], capture_output=True, text=True, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Simulator:
    """korvane-scope-sim on a free loopback port for the life of a with-block."""

    def __init__(self, *extra):
        self.extra = extra

    def __enter__(self):
        self.p = subprocess.Popen([SIM, "--port", "0", "--model", "MSO-CD1000", *self.extra],
                                  stdout=subprocess.PIPE, text=True)
        line = self.p.stdout.readline()
        if not line.startswith("listening on 127.0.0.1:"):
            self.p.kill()
            self.p.wait()
            self.p.stdout.close()
            raise RuntimeError(f"simulator did not start: {line!r}")
        self.port = int(line.split(":")[1].split()[0])
        return f"TCPIP0::127.0.0.1::{self.port}::SOCKET"

    def __exit__(self, *exc):
        self.p.terminate()
        self.p.wait(timeout=10)
        self.p.stdout.close()


class Arguments(unittest.TestCase):
    def test_usage_errors_exit_2_with_usage(self):
        for args in ([], ["frobnicate"], ["get", RES], ["set", RES, "Timebase.HorizontalScale"],
                     ["idn", RES, "--bogus", "1"], ["fetch", RES], ["fetch", RES, "--channel", "Channel1", "--points", "0"],
                     ["measure", RES, "--channel", "Channel1"], ["idn", RES, "--options"]):
            with self.subTest(args=args):
                rc, out, err = run(*args)
                self.assertEqual(rc, 2, err)
                self.assertIn("korvane", err)
                self.assertEqual(out, "")

    def test_help_goes_to_stdout(self):
        rc, out, _ = run("--help")
        self.assertEqual(rc, 0)
        self.assertIn("korvane fetch", out)


class PropertyPaths(unittest.TestCase):
    # A resource nobody listens on: a path or value error must be found before any connection.
    def setUp(self):
        self.dead = f"TCPIP0::127.0.0.1::{closed_port()}::SOCKET"

    def test_unknown_member_names_the_segment_and_lists_the_members(self):
        rc, _, err = run("get", self.dead, "Timebase.Horizontal")
        self.assertEqual(rc, 2)
        self.assertIn("has no member 'Horizontal'", err)
        self.assertIn("HorizontalScale", err)
        self.assertNotIn("Initialize", err)

    def test_malformed_paths(self):
        cases = {
            "Channels.Item.Offset": "Item needs the item's name",
            "Timebase": "names an object",
            "Timebase.HorizontalScale.Foo": "is a property, not an object",
            "Channels.Item(Channel1": "unbalanced parenthesis",
            "Timebase..HorizontalScale": "empty name",
            "Timebase.": "ends with a dot",
            "Acquisition(1).NumberOfAverages": "takes no argument",
        }
        for path, message in cases.items():
            with self.subTest(path=path):
                rc, _, err = run("get", self.dead, path)
                self.assertEqual(rc, 2, err)
                self.assertIn(message, err)

    def test_bad_values_are_refused_before_connecting(self):
        cases = [
            ("Timebase.HorizontalScale", "abc", "double"),
            ("Timebase.HorizontalScale", "1e999", "double"),
            ("Acquisition.NumberOfAverages", "99999999999", "long"),
            ("Acquisition.NumberOfAverages", "2.5", "long"),
            ("Trigger.Edge.Slope", "Sideways", "Positive"),
            ("DriverOperation.Cache", "maybe", "true or false"),
        ]
        for path, value, message in cases:
            with self.subTest(path=path, value=value):
                rc, _, err = run("set", self.dead, path, value)
                self.assertEqual(rc, 2, err)
                self.assertIn(message, err)

    def test_access_is_checked(self):
        rc, _, err = run("set", self.dead, "Acquisition.RecordLength", "100")
        self.assertEqual(rc, 2)
        self.assertIn("read-only", err)

    def test_list_shows_members_through_the_base_interfaces(self):
        rc, out, _ = run("list", "Channels.Item(Channel1)")
        self.assertEqual(rc, 0)
        self.assertIn("IKorvaneChannel", out)
        self.assertIn("Offset  double, read/write", out)
        rc, out, _ = run("list")  # the root reaches IIviDriver's members through IKorvane8's bases
        self.assertIn("DriverOperation", out)
        self.assertIn("Channels", out)


class Simulated(unittest.TestCase):
    def test_values_reach_the_driver_in_each_accepted_form(self):
        rc, out, err = run("get", RES, "Identity.InstrumentModel", "--options", SIMULATE)
        self.assertEqual((rc, out.strip()), (0, "MSO-CD1000"), err)
        rc, out, _ = run("get", RES, "DriverOperation.Simulate", "--options", SIMULATE)
        self.assertEqual((rc, out.strip()), (0, "true"))
        for value in ("Negative", "negative", "KorvaneTriggerSlopeNegative", "0"):
            with self.subTest(value=value):
                rc, _, err = run("set", RES, "Trigger.Edge.Slope", value, "--options", SIMULATE)
                self.assertEqual(rc, 0, err)
        rc, _, err = run("set", RES, "Trigger.Level", "-0.25", "--options", SIMULATE)  # a value like an option
        self.assertEqual(rc, 0, err)
        rc, out, err = run("get", RES, "ProbeAttenuation", "--channel", "Channel2", "--options", SIMULATE)
        self.assertEqual((rc, out.strip()), (0, "1"), err)
        # A channel the model lacks is the driver's error, not a path error.
        rc, _, err = run("get", RES, "Enabled", "--channel", "Channel9", "--options", SIMULATE)
        self.assertEqual(rc, 1)
        self.assertIn("Channels.Item(Channel9).Enabled failed: 0x", err)

    def test_unknown_measurement(self):
        rc, _, err = run("measure", RES, "--channel", "Channel1", "frequency", "loudness", "--options", SIMULATE)
        self.assertEqual(rc, 2)
        self.assertIn("unknown measurement 'loudness'", err)
        self.assertIn("VoltagePeakToPeak", err)


class Instrument(unittest.TestCase):
    def test_refused_connection_reports_the_driver_status(self):
        rc, out, err = run("idn", f"TCPIP0::127.0.0.1::{closed_port()}::SOCKET", timeout=30)
        self.assertEqual(rc, 1)
        self.assertRegex(err, r"Initialize .* failed: 0x[0-9A-F]{8} Korvane: ")
        self.assertEqual(out, "")

    def test_silent_instrument_fails_within_the_timeout(self):
        with Simulator("--fault-mute") as res:
            start = time.monotonic()
            rc, _, err = run("idn", res, timeout=60)
            elapsed = time.monotonic() - start
        self.assertEqual(rc, 1, err)
        self.assertRegex(err, r"failed: 0x[0-9A-F]{8} ")
        self.assertLess(elapsed, 30, "no answer must end in the I/O timeout, not a hang")

    def test_identify_and_raw_command(self):
        with Simulator() as res:
            rc, out, err = run("idn", res)
            self.assertEqual(rc, 0, err)
            self.assertIn("MSO-CD1000", out)
            rc, out, err = run("scpi", res, "*IDN?")
            self.assertEqual(rc, 0, err)
            self.assertIn("MSO-CD1000", out)
            self.assertEqual(out.count("\n"), 1, "one reply line, its terminator not doubled")
            # A command prints nothing; the setting it made is there for the next query.
            rc, out, err = run("scpi", res, ":TIM:SCAL 0.002")
            self.assertEqual((rc, out), (0, ""), err)
            rc, out, err = run("scpi", res, ":TIM:SCAL?")
            self.assertEqual(rc, 0, err)
            self.assertAlmostEqual(float(out), 0.002)

    def test_values_round_trip_through_the_instrument(self):
        cases = [("Timebase.HorizontalScale", "2e-4", "0.0002"), ("Channels.Item(Channel2).Offset", "-0.25", "-0.25"),
                 ("Trigger.Edge.Slope", "negative", "Negative"), ("Channels.Item(Channel1).Enabled", "off", "false")]
        with Simulator() as res:
            for path, value, shown in cases:
                with self.subTest(path=path):
                    rc, _, err = run("set", res, path, value)
                    self.assertEqual(rc, 0, err)
                    rc, out, err = run("get", res, path)
                    self.assertEqual((rc, out.strip()), (0, shown), err)
            # A value the instrument refuses comes back as the driver's instrument error.
            rc, _, err = run("set", res, "Timebase.HorizontalScale", "1e9", "--options", "QueryInstrStatus=true")
            self.assertEqual(rc, 1)
            self.assertIn("0x80047001", err)
            rc, out, _ = run("get", res, "Timebase.HorizontalScale")
            self.assertEqual((rc, out.strip()), (0, "0.0002"), "the refused value must not have been kept")

    def test_fetch_gives_the_requested_points_in_volts(self):
        with Simulator("--signal", "1:sine:1e3:0.5") as res:
            rc, out, err = run("fetch", res, "--channel", "Channel1", "--points", "200")
            self.assertEqual(rc, 0, err)
            rows = [line.split(",") for line in out.strip().splitlines()]
            self.assertEqual(rows[0], ["time_s", "volts"])
            self.assertEqual(len(rows), 201)
            times = [float(r[0]) for r in rows[1:]]
            volts = [float(r[1]) for r in rows[1:]]
            self.assertTrue(all(b > a for a, b in zip(times, times[1:])), "time runs forward")
            self.assertAlmostEqual(max(volts), 0.5, delta=0.05)
            self.assertAlmostEqual(min(volts), -0.5, delta=0.05)
            rc, _, err = run("fetch", res, "--channel", "Channel9")
            self.assertEqual(rc, 1)
            self.assertIn("Measurements.Item(Channel9) failed: 0x", err)

    def test_sim_runs_the_simulator(self):
        p = subprocess.run([KORVANE, "sim", "--list-models"], capture_output=True, text=True, timeout=30)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertIn("MSO-CD1000", p.stdout)


if __name__ == "__main__":
    KORVANE, SIM = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
