"""korvane panel from outside, without a browser: who is let in (token, Host, Origin, method),
what a malformed or oversized request gets, two pages at once, and what reaches the instrument.

Usage: panel_server_test.py <korvane> <korvane-scope-sim>
"""
import http.client
import json
import os
import struct
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from panel_ws import WsClient, WsRefused  # noqa: E402

KORVANE = SIM = None


class Panel:
    """The simulator and a panel on it, for the whole test class."""

    def __enter__(self):
        self.sim = subprocess.Popen([SIM, "--port", "0"], stdout=subprocess.PIPE, text=True)
        line = self.sim.stdout.readline()
        self.resource = f"TCPIP0::127.0.0.1::{int(line.split(':')[1].split()[0])}::SOCKET"
        self.panel = subprocess.Popen([KORVANE, "panel", self.resource, "--port", "0"], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True)
        first = self.panel.stdout.readline()
        url = self.panel.stdout.readline().strip()
        if not url.startswith("http://"):
            raise RuntimeError(f"panel did not start: {first!r} {url!r} {self.panel.stderr.read()}")
        hostport, self.token = url[len("http://"):].split("/?token=")
        self.port = int(hostport.split(":")[1])
        return self

    def __exit__(self, *exc):
        self.panel.terminate()
        rc = self.panel.wait(timeout=20)
        for p in (self.sim,):
            p.terminate()
            p.wait(timeout=10)
        self.sim.stdout.close()
        self.panel.stdout.close()
        self.panel.stderr.close()
        assert rc == 0, f"the panel exited {rc} on SIGTERM"

    def request(self, method, path, body=None, headers=None, host=None):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        h = {"Host": host or f"127.0.0.1:{self.port}"}
        h.update(headers or {})
        c.request(method, path, body=body, headers=h)
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, dict((k.lower(), v) for k, v in r.getheaders()), data

    def call(self, path, payload, raw=None):
        status, _, data = self.request("POST", path, raw if raw is not None else json.dumps(payload),
                                       {"X-Korvane-Token": self.token, "Content-Type": "application/json"})
        return status, json.loads(data)

    def ws(self, host=None, origin="", token=None):
        origin = f"http://127.0.0.1:{self.port}" if origin == "" else origin
        return WsClient(self.port, f"/ws?token={self.token if token is None else token}", host=host, origin=origin)

    def get(self, path):
        p = subprocess.run([KORVANE, "get", self.resource, path], capture_output=True, text=True, timeout=30)
        return p.stdout.strip()


def next_json(ws, kind):
    while True:
        op, data = ws.recv()
        if op == 1:
            m = json.loads(data)
            if m.get("type") == kind:
                return m


def next_frame(ws):
    while True:
        op, data = ws.recv()
        if op == 2:
            return data


class PanelServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.p = Panel().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.p.__exit__(None, None, None)

    def test_token_host_origin_and_methods(self):
        p, t = self.p, self.p.token
        cases = [  # method, path, headers, host, expected status
            ("GET", "/", {}, None, 403),
            ("GET", f"/?token={t[:-1]}x", {}, None, 403),
            ("GET", f"/?token={t}", {}, None, 200),
            ("GET", f"/?token={t}", {}, f"evil.example:{p.port}", 403),
            ("GET", f"/?token={t}", {}, f"localhost:{p.port}", 200),
            ("GET", "/panel.js", {"Cookie": f"korvane-panel-{p.port}={t}"}, None, 200),
            ("GET", "/panel.js", {"Cookie": f"korvane-panel-{p.port}=nope"}, None, 403),
            ("GET", "/api/state", {"X-Korvane-Token": t}, None, 200),
            ("GET", "/api/set", {"X-Korvane-Token": t}, None, 405),
            ("POST", "/api/state", {"X-Korvane-Token": t}, None, 405),
            ("PUT", "/api/set", {"X-Korvane-Token": t}, None, 405),
            ("OPTIONS", "/api/set", {"Origin": "http://evil.example"}, None, 405),
            # A state change needs the header: the URL's token or the cookie alone are not enough.
            ("POST", f"/api/errors?token={t}", {}, None, 403),
            ("POST", "/api/errors", {"Cookie": f"korvane-panel-{p.port}={t}"}, None, 403),
            ("POST", "/api/errors", {"X-Korvane-Token": t, "Origin": "http://evil.example"}, None, 403),
            ("POST", "/api/errors", {"X-Korvane-Token": t, "Origin": f"http://127.0.0.1:{p.port}"}, None, 200),
            ("GET", "/nothing", {"X-Korvane-Token": t}, None, 404),
        ]
        for method, path, headers, host, expected in cases:
            status, h, body = p.request(method, path, b"{}" if method == "POST" else None, headers, host)
            self.assertEqual(status, expected, f"{method} {path} {headers} {host}: {body[:200]!r}")
            self.assertFalse([k for k in h if k.startswith("access-control-")], f"{method} {path}: CORS header")
            if status >= 400:
                self.assertIn("error", json.loads(body), f"{method} {path}")
        status, h, _ = p.request("GET", f"/?token={t}")
        self.assertIn("HttpOnly", h["set-cookie"])
        self.assertIn("SameSite=Strict", h["set-cookie"])
        self.assertEqual(h["x-frame-options"], "DENY")

        for host, origin, token in [(f"evil.example:{p.port}", f"http://evil.example:{p.port}", None),
                                    (None, "http://evil.example", None), (None, None, None), (None, "", "wrong")]:
            with self.assertRaises(WsRefused, msg=f"{host} {origin} {token}"):
                p.ws(host=host, origin=origin, token=token)

    def test_command_line(self):
        for args, word in ((["--listen", "0.0.0.0"], "one interface"), (["--port", "70000"], "--port"),
                           ([], "one resource")):
            p = subprocess.run([KORVANE, "panel", *([self.p.resource] if args else []), *args], capture_output=True,
                               text=True, timeout=30)
            self.assertEqual(p.returncode, 2, f"{args}: {p.stderr}")
            self.assertIn(word, p.stderr)
        # The port in use by this panel: a clear failure, not a second server.
        p = subprocess.run([KORVANE, "panel", self.p.resource, "--port", str(self.p.port)], capture_output=True,
                           text=True, timeout=30)
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn("cannot listen", p.stderr)

    def test_bad_input_leaves_the_session_usable(self):
        p = self.p
        bad = [
            ("/api/set", None, "{not json", 400, "JSON"),
            ("/api/set", None, "[1, 2]", 400, "object"),
            ("/api/set", {"path": "Timebase.NoSuchThing", "value": 1}, None, 200, "NoSuchThing"),
            ("/api/set", {"path": "Timebase.HorizontalScale", "value": "fast"}, None, 200, "fast"),
            ("/api/set", {"path": "Timebase.HorizontalScale", "value": [1]}, None, 200, "must be"),
            ("/api/set", {"path": "Channels.Item(Channel9).Offset", "value": 0}, None, 200, "Channel9"),
            ("/api/set", {"path": "Acquisition.SampleRate", "value": 1}, None, 200, "read-only"),
            ("/api/read", {"paths": "Timebase.HorizontalScale"}, None, 200, "array"),
            ("/api/scpi", {"command": 5}, None, 200, "command"),
            ("/api/nothing", {}, None, 404, "/api/nothing"),
        ]
        for path, payload, raw, status, word in bad:
            code, reply = p.call(path, payload, raw)
            self.assertEqual(code, status, f"{path} {payload or raw}: {reply}")
            self.assertFalse(reply["ok"], f"{path} {payload or raw}")
            self.assertIn(word, reply["error"], f"{path} {payload or raw}")
        status, _, body = p.request("POST", "/api/set", b"x" * (5 << 20), {"X-Korvane-Token": p.token})
        self.assertEqual(status, 413)
        # A value the instrument refuses: its own text, and the value it kept.
        code, reply = p.call("/api/set", {"path": "Channels.Item(Channel1).Scale", "value": 1e9})
        self.assertFalse(reply["ok"], reply)
        self.assertIn("refused", reply["error"])
        self.assertTrue(reply["instrument"][0].startswith("-2"), reply)
        self.assertTrue(reply["current"]["ok"])
        # Still usable: a set, read back by another process.
        code, reply = p.call("/api/set", {"path": "Timebase.HorizontalScale", "value": 0.0005})
        self.assertTrue(reply["ok"], reply)
        self.assertEqual(reply["value"], 0.0005)
        self.assertEqual(p.get("Timebase.HorizontalScale"), "0.0005")
        code, reply = p.call("/api/scpi", {"command": "*IDN?"})
        self.assertTrue(reply["ok"] and "," in reply["reply"], reply)
        code, reply = p.call("/api/scpi", {"command": ":TIM:SCAL banana"})
        self.assertFalse(reply["ok"])
        self.assertIn("refused", reply["error"])

    def test_settings_file_and_csv(self):
        p = self.p
        h = {"X-Korvane-Token": p.token}
        status, headers, saved = p.request("POST", "/api/settings", b"", headers=h)
        self.assertEqual(status, 200)
        self.assertIn("attachment", headers["content-disposition"])
        settings = json.loads(saved)["settings"]
        self.assertIn("Timebase.HorizontalScale", settings)
        p.call("/api/set", {"path": "Timebase.HorizontalScale", "value": 0.002})
        code, reply = p.call("/api/load", None, saved)
        self.assertTrue(reply["ok"], reply)
        self.assertEqual(reply["applied"], len(settings))
        self.assertEqual(float(p.get("Timebase.HorizontalScale")), settings["Timebase.HorizontalScale"])
        code, reply = p.call("/api/load", None, '{"format": "korvane-settings-1", "settings": {"Nope.Path": 1}}')
        self.assertFalse(reply["ok"])
        self.assertIn("Nope", reply["error"])
        # The shown part of the record at full resolution: a time column and one per channel.
        ws = p.ws()
        next_frame(ws)
        ws.close()
        status, headers, csv = p.request("GET", "/api/csv?start=0&end=0.0001", headers=h)
        self.assertEqual(status, 200, csv[:200])
        rows = csv.decode().strip().splitlines()
        self.assertTrue(rows[0].startswith("time"), rows[0])
        self.assertGreater(len(rows), 10)
        self.assertTrue(all(0 <= float(r.split(",")[0]) <= 0.0001 for r in rows[1:]))

    def test_two_pages_frames_and_websocket_errors(self):
        p = self.p
        a, b = p.ws(), p.ws()
        try:
            a.send(json.dumps({"type": "view", "columns": 500}))
            b.send(json.dumps({"type": "view", "columns": 200}))
            for ws, columns in ((a, 500), (b, 200)):
                for _ in range(3):  # the first frame may predate the view
                    f = next_frame(ws)
                    magic, _seq, cols, channels = struct.unpack_from("<4I", f)
                    if cols == columns:
                        break
                self.assertEqual((magic, cols), (0x3146564B, columns))
                self.assertGreaterEqual(channels, 1)
                self.assertEqual(len(f), 56 + channels * (16 + 8 * columns))
                self.assertEqual(f[56:64], b"Channel1")
                lo = struct.unpack_from(f"<{columns}f", f, 72)
                hi = struct.unpack_from(f"<{columns}f", f, 72 + 4 * columns)
                self.assertTrue(all(x <= y for x, y in zip(lo, hi)))
                self.assertGreater(max(hi) - min(lo), 0.1, "the sine swings")
            # Both pages change settings at once; each gets its own answer.
            results = {}

            def change(ws, name, value, rid):
                ws.send(json.dumps({"type": "set", "id": rid, "path": "Trigger.Level", "value": value}))
                results[name] = next_json(ws, "reply")

            ta = threading.Thread(target=change, args=(a, "a", 0.125, 1))
            tb = threading.Thread(target=change, args=(b, "b", -0.25, 2))
            ta.start(), tb.start(), ta.join(30), tb.join(30)
            self.assertEqual(results["a"]["id"], 1)
            self.assertEqual(results["b"]["id"], 2)
            self.assertEqual(results["a"]["reply"]["value"], 0.125)
            self.assertEqual(results["b"]["reply"]["value"], -0.25)
            # Malformed and binary messages are answered; the page stays connected.
            a.send("{oops")
            self.assertIn("JSON", next_json(a, "error")["error"])
            a.send(b"\x00\x01", opcode=2)
            self.assertIn("JSON text", next_json(a, "error")["error"])
            a.send(json.dumps({"type": "launch", "id": 3}))
            self.assertIn("unknown message type", next_json(a, "reply")["reply"]["error"])
            a.send(json.dumps({"type": "set", "id": 4, "path": "Timebase.HorizontalScale", "value": 0.001}))
            self.assertTrue(next_json(a, "reply")["reply"]["ok"])
            self.assertEqual(p.get("Timebase.HorizontalScale"), "0.001")
            # An oversized message ends that page's connection, and only that one.
            a.send("x" * (100 << 10))
            with self.assertRaises((ConnectionError, OSError)):
                while True:
                    op, _ = a.recv()
                    if op == 8:
                        raise ConnectionError("closed by the server")
            b.send(json.dumps({"type": "errors", "id": 5}))
            self.assertTrue(next_json(b, "reply")["reply"]["ok"])
        finally:
            a.close()
            b.close()


if __name__ == "__main__":
    KORVANE, SIM = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
