"""The korvane tool from the outside, as its behaviour table: command, input, expected output and
exit code, against the simulator, a resource nobody listens on, and the driver's simulation mode.

Usage: cli_test.py <korvane> <korvane-scope-sim> <bash completion script>
Exit codes under test: 0 done, 1 the driver or instrument failed, 2 bad input.
"""
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import unittest

KORVANE = SIM = COMPLETION = None
SIMULATE = "Simulate=true, DriverSetup= Model=MSO-CD1000"


def run(*args, timeout=60, text=True):
    p = subprocess.run([KORVANE, *args], capture_output=True, text=text, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Simulator:
    """korvane-scope-sim on a free loopback port for the life of a with-block."""

    def __init__(self, *extra, model="MSO-CD1000"):
        self.extra = extra
        self.model = model

    def __enter__(self):
        self.p = subprocess.Popen([SIM, "--port", "0", "--model", self.model, *self.extra],
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


def is_json(check):
    """A stdout check: the output is one JSON document and `check` holds for it."""
    def test(out):
        return check(json.loads(out))
    return test


# (what, arguments, exit code, stdout check, stderr check). A check is a regular expression that
# must be found, a callable, or None for "empty". {res} is the simulator (one instance, the rows
# run in order), {dead} a port nobody listens on (input checked before connecting), {sim} the
# driver's simulation mode.
ONE_LINE = r"\Akorvane: [^\n]*\(see 'korvane help[^\n]*'\)\n\Z"
BEHAVIOUR = [
    # Arguments, help and version: one line on stderr pointing at the help.
    ("no command", [], 2, None, ONE_LINE),
    ("unknown command", ["frobnicate"], 2, None, r"unknown command 'frobnicate'"),
    ("missing argument", ["get", "{dead}"], 2, None, ONE_LINE),
    ("missing value", ["set", "{dead}", "Timebase.HorizontalScale"], 2, None, r"see 'korvane help set'"),
    ("unknown option", ["idn", "{dead}", "--bogus", "1"], 2, None, ONE_LINE),
    ("another command's option", ["get", "{dead}", "Timebase.HorizontalScale", "--points", "5"], 2, None,
     r"\Akorvane: --points does not apply to get \(see 'korvane help get'\)\n\Z"),
    ("session option without a session", ["list", "Trigger", "--options", "Simulate=true"], 2, None,
     r"--options does not apply to list"),
    ("option without value", ["idn", "{dead}", "--options"], 2, None, r"--options needs a value"),
    ("bad count", ["fetch", "{dead}", "--channel", "Channel1", "--points", "0"], 2, None, r"bad --points '0'"),
    ("no measurement", ["measure", "{dead}", "--channel", "Channel1"], 2, None, r"see 'korvane help measure'"),
    ("overview", ["--help"], 0, r"korvane fetch(?s:.*)exit codes: 0 done(?s:.*)2 bad arguments", None),
    ("one command's help", ["help", "scpi"], 0, r"\Ausage: korvane scpi(?s:.*)--out <file>(?s:.*)exit codes", None),
    ("help as an option", ["fetch", "--help"], 0, r"\Ausage: korvane fetch", None),
    ("help of nothing", ["help", "nope"], 2, None, r"no command 'nope'"),
    ("version", ["--version"], 0, r"\Akorvane \d+\.\d+\.\d+\n\Z", None),
    # Paths and values are checked before any connection.
    ("unknown member", ["get", "{dead}", "Timebase.Horizontal"], 2, None,
     r"has no member 'Horizontal'(?s:.*)HorizontalScale"),
    ("method is no property", ["get", "{dead}", "Measurements.Item(Channel1).ReadWaveform"], 2, None, r"is a method"),
    ("read-only", ["set", "{dead}", "Acquisition.RecordLength", "100"], 2, None, r"read-only"),
    ("bad enumeration value", ["set", "{dead}", "Trigger.Edge.Slope", "Sideways"], 2, None, r"one of .*Positive"),
    # Listing: groups in order, sorted, enumeration members, methods, depth, JSON.
    ("list groups", ["list", "Trigger"], 0,
     r"\AIKorvaneTrigger\d*\nobjects:\n(?s:.*)\nproperties:\n(?s:.*)Type  KorvaneTriggerTypeEnum, read/write: .*Edge", None),
    ("list methods", ["list", "Measurements.Item(Channel1)"], 0, r"methods:\n(?s:.*)ReadWaveform\(long", None),
    ("list depth", ["list", "Trigger", "--depth", "2"], 0, r"\n  Edge  -> IKorvane\w+\n    properties:\n      \w+", None),
    ("list json", ["list", "Trigger.Edge", "--json"], 0,
     is_json(lambda d: any(m["name"] == "Slope" and "Positive" in m["members"] for m in d["members"])), None),
    # The driver's simulation mode.
    ("simulated identity", ["idn", "--options", "{sim}", "--json"], 0,
     is_json(lambda d: d["model"] == "MSO-CD1000" and d["simulated"] is True), None),
    ("simulated get json", ["get", "{dead}", "DriverOperation.Simulate", "--options", "{sim}", "--json"], 0,
     is_json(lambda d: d == {"path": "DriverOperation.Simulate", "value": True}), None),
    ("enumeration by number", ["set", "{dead}", "Trigger.Edge.Slope", "0", "--options", "{sim}"], 0, None, None),
    ("channel shorthand", ["get", "{dead}", "ProbeAttenuation", "--channel", "Channel2", "--options", "{sim}"], 0,
     r"\A1\n\Z", None),
    ("simulated fetch says so", ["fetch", "{dead}", "--channel", "Channel1", "--options", "{sim}", "--json"], 0,
     is_json(lambda d: d["simulated"] is True and d["traces"][0]["points"] > 0), None),
    ("simulated measure says so", ["measure", "{dead}", "--channel", "Channel1", "freq", "--options", "{sim}"], 0,
     r"\nnote: simulated by the driver", None),
    # Against the simulator: values round trip, the instrument's refusals are the exit code.
    ("identify", ["idn", "{res}"], 0, r"MSO-CD1000", None),
    ("set", ["set", "{res}", "Timebase.HorizontalScale", "2e-4"], 0, None, None),
    ("plain SI number", ["get", "{res}", "Timebase.HorizontalScale"], 0, r"\A0\.0002\n\Z", None),
    ("refused value", ["set", "{res}", "Timebase.HorizontalScale", "1e9"], 1, None,
     r"the instrument reports: -222 Data out of range"),
    ("refused negative", ["set", "{res}", "Timebase.HorizontalScale", "-1"], 1, None, r"-222"),
    ("refused, status checked", ["set", "{res}", "Timebase.HorizontalScale", "1e9", "--options", "QueryInstrStatus=true"],
     1, None, r"0x80047001(?s:.*)the instrument reports: -222 Data out of range"),
    ("refused value kept out", ["get", "{res}", "Timebase.HorizontalScale"], 0, r"\A0\.0002\n\Z", None),
    ("enumeration word", ["set", "{res}", "Trigger.Edge.Slope", "negative"], 0, None, None),
    ("enumeration read back", ["get", "{res}", "Trigger.Edge.Slope", "--json"], 0,
     is_json(lambda d: d["value"] == "Negative"), None),
    ("unknown channel", ["get", "{res}", "Channels.Item(Channel9).Offset"], 2, None,
     r"'Channel9'.*valid names are: Channel1, Channel2, Channel3, Channel4"),
    ("unknown measurement channel", ["measure", "{res}", "--channel", "Channel9", "freq"], 2, None,
     r"valid names are: Channel1"),
    ("scpi query", ["scpi", "{res}", "*IDN?"], 0, r"\A[^\n]*MSO-CD1000[^\n]*\n\Z", None),
    ("scpi command", ["scpi", "{res}", ":TIM:SCAL 0.002"], 0, None, None),
    ("scpi reads it back", ["scpi", "{res}", ":TIM:SCAL?"], 0, lambda out: abs(float(out) - 0.002) < 1e-12, None),
    ("scpi refused command", ["scpi", "{res}", ":TIM:SCAL 1e9"], 1, None, r"-222 Data out of range"),
    ("scpi unknown header", ["scpi", "{res}", ":NO:SUCH:THING 1"], 1, None, r"-113 Undefined header"),
    ("measure plain", ["measure", "{res}", "--channel", "Channel1", "freq", "vpp"], 0,
     r"Frequency\s+(999\.\d+|1000(\.\d+)?) Hz\nVoltagePeakToPeak\s+[01]\.\d+ V\n", None),
    ("measure human", ["measure", "{res}", "--channel", "Channel1", "freq", "--human"], 0, r"Frequency\s+1(\.0+)? kHz", None),
    ("measure json", ["measure", "{res}", "--channel", "Channel1", "vpp", "--json"], 0,
     is_json(lambda d: d["channel"] == "Channel1" and abs(d["measurements"][0]["value"] - 1.0) < 0.05), None),
    ("fetch json", ["fetch", "{res}", "--channel", "Channel1,Channel2", "--points", "200", "--json"], 0,
     is_json(lambda d: [t["points"] for t in d["traces"]] == [200, 200] and d["traces"][0]["x_increment"] > 0), None),
    ("fetch plain metadata", ["fetch", "{res}", "--channel", "Channel1", "--points", "200", "--csv", "{tmp}/w.csv"], 0,
     r"Channel1\s+200 points, x0 -?[\d.e-]+ s, dx [\d.e-]+ s\n", None),
    ("short record", ["fetch", "{res}", "--channel", "Channel1", "--points", "10"], 0, r"time_s,volts", None),
    ("no valid result", ["measure", "{res}", "--channel", "Channel1", "freq", "vpp"], 1,
     r"Frequency\s+no valid result\n", r"could not take every measurement"),
    ("no valid result json", ["measure", "{res}", "--channel", "Channel1", "freq", "--json"], 1,
     is_json(lambda d: d["measurements"][0]["value"] is None), r"could not take every measurement"),
    # Resources the driver cannot use: bad input, with the forms it takes.
    ("malformed resource", ["idn", "NOT-A-RESOURCE"], 2, None, r"TCPIP\[board\]::<host>::<port>::SOCKET"),
    ("bad option value", ["idn", "{dead}", "--options", "Simulate=maybe"], 2, None, r"QueryInstrStatus"),
]


def check(self, value, expected, what):
    if expected is None:
        self.assertEqual(value, "", what)
    elif callable(expected):
        self.assertTrue(expected(value), f"{what}: {value!r}")
    else:
        self.assertRegex(value, expected, what)


class Behaviour(unittest.TestCase):
    def test_table(self):
        dead = f"TCPIP0::127.0.0.1::{closed_port()}::SOCKET"
        with Simulator("--signal", "1:sine:1e3:0.5", "--signal", "2:square:2e3:1") as res, \
                tempfile.TemporaryDirectory() as tmp:
            for what, args, rc, out_check, err_check in BEHAVIOUR:
                args = [a.format(res=res, dead=dead, sim=SIMULATE, tmp=tmp) for a in args]
                with self.subTest(what, args=args):
                    code, out, err = run(*args)
                    self.assertEqual(code, rc, f"{what}: {args}\nstdout: {out}\nstderr: {err}")
                    check(self, out, out_check, f"{what}: stdout")
                    check(self, err, err_check, f"{what}: stderr")


class Transfers(unittest.TestCase):
    def test_binary_block_read_whole(self):
        with Simulator("--signal", "1:sine:1e3:0.5") as res, tempfile.TemporaryDirectory() as tmp:
            self.assertEqual(run("scpi", res, ":WAV:POIN 2000")[0], 0)
            for fmt in ("WORD", "BYTE"):
                with self.subTest(fmt):
                    self.assertEqual(run("scpi", res, f":WAV:FORM {fmt}")[0], 0)
                    path = os.path.join(tmp, f"{fmt}.bin")
                    rc, out, err = run("scpi", res, ":WAV:DATA?", "--out", path)
                    self.assertEqual(rc, 0, err)
                    size = os.path.getsize(path)
                    self.assertEqual(size, 2000 * (2 if fmt == "WORD" else 1), out)
                    self.assertEqual(out, f"{size} bytes to {path}\n")
                    # Piped, stdout carries the block itself: header and every byte.
                    rc, raw, err = run("scpi", res, ":WAV:DATA?", text=False)
                    self.assertEqual(rc, 0, err)
                    digits = raw[1] - ord("0")
                    length = int(raw[2:2 + digits])
                    self.assertEqual(length, size)
                    self.assertEqual(len(raw), 2 + digits + length)
                    with open(path, "rb") as f:
                        self.assertEqual(raw[2 + digits:], f.read())

    def test_timeout_is_the_callers(self):
        with Simulator("--fault-delay", "1") as res:
            start = time.monotonic()
            rc, _, err = run("scpi", res, ":TIM:SCAL?", "--timeout", "500", timeout=120)
            elapsed = time.monotonic() - start
            self.assertEqual(rc, 1, err)
            self.assertRegex(err, r"ReadBytes\) failed: 0x[0-9A-F]{8} .*[Tt]imeout")
            # Every reply comes 1 s late: the connection's own queries wait for it, the read gives up at 0.5 s.
            self.assertLess(elapsed, 30)

    def test_silent_instrument_fails_within_the_timeout(self):
        with Simulator("--fault-mute") as res:
            start = time.monotonic()
            rc, _, err = run("idn", res, timeout=60)
            elapsed = time.monotonic() - start
        self.assertEqual(rc, 1, err)
        self.assertRegex(err, r"failed: 0x[0-9A-F]{8} ")
        self.assertLess(elapsed, 30, "no answer must end in the I/O timeout, not a hang")

    def test_refused_connection_is_the_drivers_failure(self):
        res = f"TCPIP0::127.0.0.1::{closed_port()}::SOCKET"
        rc, out, err = run("idn", res, timeout=30)
        self.assertEqual(rc, 1)
        self.assertRegex(err, r"Initialize failed: 0x[0-9A-F]{8} Korvane: ")
        self.assertEqual(err.count(res), 1, err)
        self.assertNotIn("..", err)
        self.assertEqual(out, "")


class WaitSrq(unittest.TestCase):
    def test_prints_the_request_raised_from_another_session(self):
        sim = Simulator("--hislip-port", "0")
        with sim:
            hislip = self.hislip(sim)
            waiter = subprocess.Popen([KORVANE, "wait-srq", hislip, "--timeout", "20000"], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True)
            try:
                # The waiter may not have enabled the event yet: raise again until it has seen one.
                for _ in range(20):
                    self.assertEqual(run("scpi", hislip, "*CLS")[0], 0)
                    self.assertEqual(run("scpi", hislip, "*SRE 32;*ESE 1;*OPC")[0], 0)
                    try:
                        out, err = waiter.communicate(timeout=1)
                        break
                    except subprocess.TimeoutExpired:
                        pass
                else:
                    self.fail("wait-srq saw no service request")
            finally:
                if waiter.poll() is None:
                    waiter.kill()
                    waiter.communicate()
            self.assertEqual(waiter.returncode, 0, err)
            self.assertRegex(out, r"^\d+ \(0x[0-9A-F]{2}: .*request service")
            self.assertEqual(int(out.split()[0]) & 0x60, 0x60, out)
            run("scpi", hislip, "*SRE 0;*ESE 0;*CLS")

    def test_socket_has_none_and_a_timeout_ends_the_wait(self):
        sim = Simulator("--hislip-port", "0")
        with sim as res:
            rc, out, err = run("wait-srq", res, "--timeout", "100")
            self.assertEqual(rc, 1, err)
            self.assertIn("SOCKET sessions", err)
            rc, out, err = run("wait-srq", self.hislip(sim), "--timeout", "300")
            self.assertEqual(rc, 1, err)
            self.assertIn("no service request within 300 ms", err)

    def hislip(self, sim):
        line = sim.p.stdout.readline()
        self.assertRegex(line, r"^hislip listening on 127\.0\.0\.1:\d+")
        return f"TCPIP0::127.0.0.1::hislip0,{int(line.split(':')[1].split()[0])}::INSTR"


class SaveAndLoad(unittest.TestCase):
    CHANGES = [("Timebase.HorizontalScale", "0.0005"), ("Channels.Item(Channel2).Offset", "-0.25"),
               ("Channels.Item(Channel1).Scale", "0.2"), ("Trigger.Edge.Slope", "Negative"),
               ("Channels.Item(Channel3).Enabled", "true")]

    def test_round_trip_between_two_instruments(self):
        with tempfile.TemporaryDirectory() as tmp:
            first, second = os.path.join(tmp, "a.json"), os.path.join(tmp, "b.json")
            with Simulator() as res:
                for path, value in self.CHANGES:
                    self.assertEqual(run("set", res, path, value)[0], 0, path)
                rc, out, err = run("save", res, first, timeout=120)
                self.assertEqual(rc, 0, err)
                self.assertRegex(out, r"^\d+ settings of the MSO-CD1000 to ")
            with open(first) as f:
                saved = json.load(f)
            settings = saved["settings"]
            self.assertEqual(saved["instrument"]["model"], "MSO-CD1000")
            self.assertEqual(settings["Timebase.HorizontalScale"], 0.0005)
            self.assertEqual(settings["Trigger.Edge.Slope"], "Negative")
            self.assertNotIn("DriverOperation.Cache", settings, "session flags are not instrument settings")
            self.assertGreater(len(settings), 20)
            with Simulator() as res:
                rc, out, err = run("load", res, first, timeout=120)
                self.assertEqual((rc, err), (0, ""))
                self.assertRegex(out, rf"^{len(settings)} of {len(settings)} settings applied")
                self.assertEqual(run("save", res, second, timeout=120)[0], 0)
            with open(second) as f:
                again = json.load(f)["settings"]
            self.assertEqual(again, settings)

    def test_fresh_instrument_of_each_family_loads_its_own_settings(self):
        lines = subprocess.run([SIM, "--list-models"], capture_output=True, text=True, timeout=30).stdout.splitlines()
        first = {}
        for line in lines[1:]:
            model, family = line.split()[:2]
            first.setdefault(family, model)
        self.assertEqual(sorted(first), ["Avel", "Bormo", "Cadri", "Dovin", "Efrai", "Forsa"])
        with tempfile.TemporaryDirectory() as tmp:
            for family, model in sorted(first.items()):
                with self.subTest(family, model=model), Simulator(model=model) as res:
                    path = os.path.join(tmp, f"{model}.json")
                    rc, out, err = run("save", res, path, timeout=120)
                    self.assertEqual(rc, 0, err)
                    with open(path) as f:
                        settings = json.load(f)["settings"]
                    # Text settings come back as text, not as the instrument's quoted string data.
                    self.assertFalse([p for p, v in settings.items() if isinstance(v, str) and v.startswith('"')])
                    rc, out, err = run("load", res, path, timeout=120)
                    self.assertEqual((rc, err), (0, ""), model)
                    self.assertEqual(out, f"{len(settings)} of {len(settings)} settings applied to the {model}\n")

    def test_bad_files_are_refused_before_connecting(self):
        dead = f"TCPIP0::127.0.0.1::{closed_port()}::SOCKET"
        cases = [("{\"format\": \"korvane-settings-1\", \"settings\": {\"Timebase.Nope\": 1}}", r"has no member 'Nope'"),
                 ("{\"format\": \"korvane-settings-1\", \"settings\": {\"Trigger.Edge.Slope\": \"Up\"}}", r"one of"),
                 ("{\"format\": \"korvane-settings-1\",\n \"settings\": {", r"line 2: "),
                 ("{\"settings\": {}}", r"not a settings file")]
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "s.json")
            for text, message in cases:
                with self.subTest(text=text):
                    with open(path, "w") as f:
                        f.write(text)
                    rc, _, err = run("load", dead, path)
                    self.assertEqual(rc, 2, err)
                    self.assertRegex(err, message)
                    self.assertNotIn("Initialize", err)

    def test_refused_setting_is_named(self):
        with tempfile.TemporaryDirectory() as tmp, Simulator() as res:
            path = os.path.join(tmp, "s.json")
            with open(path, "w") as f:
                json.dump({"format": "korvane-settings-1",
                           "settings": {"Timebase.HorizontalScale": 1e9, "Channels.Item(Channel1).Offset": 0.1}}, f)
            rc, out, err = run("load", res, path)
            self.assertEqual(rc, 1, err)
            self.assertRegex(err, r"set Timebase.HorizontalScale 1000000000: the instrument reports: -222")
            self.assertRegex(out, r"^1 of 2 settings applied")


class Completion(unittest.TestCase):
    BREAKS = "\"'><=;|&(:"  # readline's default word breaks

    def complete(self, *words):
        """COMPREPLY of the script for the command line `words` (the last being typed), with the
        current word split off as readline splits it (at ':' and '(' too)."""
        line = " ".join((KORVANE,) + words)
        last = words[-1]
        cut = max(last.rfind(c) for c in self.BREAKS) + 1
        script = (f"source {COMPLETION!r}; COMP_LINE={line!r}; COMP_POINT={len(line)}; "
                  f"COMP_WORDS=({KORVANE!r} {last[cut:]!r}); COMP_CWORD=1; _korvane; "
                  "printf '%s\\n' \"${COMPREPLY[@]}\"")
        p = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=30)
        self.assertEqual(p.returncode, 0, p.stderr)
        return [w for w in p.stdout.split("\n") if w]

    def test_commands_paths_and_values(self):
        res = "TCPIP0::127.0.0.1::5025::SOCKET"
        cases = [(("f",), ["fetch", "find"]), (("get", res, "Trigger.Edge.Sl"), ["Trigger.Edge.Slope "]),
                 (("set", res, "Trigger.Ed"), ["Trigger.Edge."]), (("set", res, "Trigger.Edge.Slope", "Neg"), ["Negative"]),
                 (("get", res, "Channels.Item(Channel1).Off"), ["Channel1).Offset "]),
                 (("measure", res, "--channel", "Channel1", "VoltagePeakTo"), ["VoltagePeakToPeak"]),
                 (("list", "--json", "Timebase.HorizontalSc"), ["Timebase.HorizontalScale "]),
                 (("fetch", res, "--p"), ["--points"]), (("set", res, "--j"), []), (("help", "me"), ["measure"])]
        for words, expected in cases:
            with self.subTest(words=words):
                self.assertEqual(self.complete(*words), expected)


class CommandTable(unittest.TestCase):
    def test_help_parser_and_completion_agree(self):
        """The options a command's help lists are those the parser takes and the completion offers;
        any other option is refused with one line."""
        commands = run("__complete", "commands")[1].split()
        overview = run("--help")[1]
        everything = set()
        listed = {}
        for command in commands:
            self.assertIn(f"  korvane {command}", overview)
            rc, page, err = run("help", command)
            self.assertEqual(rc, 0, err)
            listed[command] = set(re.findall(r"^  (--[a-z-]+)", page, re.M))
            everything |= listed[command]
        for command in set(commands) - {"help", "sim"}:
            with self.subTest(command):
                offered = run("__complete", "line", command, "--")[1].split()
                self.assertEqual(offered[0], "words")
                self.assertEqual(set(offered[1:]) - {"--help"}, listed[command])
                for option in sorted(everything - listed[command]):
                    rc, _, err = run(command, option, "1")
                    self.assertEqual((rc, err), (2, f"korvane: {option} does not apply to {command} "
                                                    f"(see 'korvane help {command}')\n"))


class SimulatorProgram(unittest.TestCase):
    def test_model_table_and_unknown_model(self):
        p = subprocess.run([KORVANE, "sim", "--list-models"], capture_output=True, text=True, timeout=30)
        self.assertEqual(p.returncode, 0, p.stderr)
        lines = p.stdout.splitlines()
        self.assertRegex(lines[0], r"^MODEL\s+FAMILY\s+CHANNELS\s+DIGITAL\s+BANDWIDTH\s+OPTIONS$")
        row = next(line.split() for line in lines if line.startswith("MSO-CD1000 "))
        self.assertEqual(row[1:4], ["Cadri", "4", "16"])
        self.assertRegex(" ".join(row[4:]), r"^\d+ MHz \S*MSO")
        p = subprocess.run([SIM, "--model", "NOPE"], capture_output=True, text=True, timeout=30)
        self.assertEqual(p.returncode, 2)
        self.assertIn("unknown model 'NOPE'", p.stderr)
        self.assertIn("--list-models", p.stderr)


if __name__ == "__main__":
    KORVANE, SIM, COMPLETION = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
