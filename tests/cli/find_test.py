"""korvane find against three simulators on loopback: one found by the VXI-11 portmapper
broadcast to 127.255.255.255 (on a portmapper port this test picks), two by DNS-SD queries sent
by unicast to their responders. Only loopback is used (--interface lo).

Usage: find_test.py <korvane> <korvane-scope-sim>
"""
import json
import socket
import subprocess
import sys
import time
import unittest

KORVANE = SIM = None


def free_port():
    """A port free for TCP and UDP now, for the portmapper of the simulators."""
    with socket.socket() as t, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
        t.bind(("127.0.0.1", 0))
        port = t.getsockname()[1]
        u.bind(("127.0.0.1", port))
        return port


class Find(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.portmapper = free_port()
        specs = {
            "a": ["--bind", "127.0.0.5", "--vxi11", "--portmapper-port", str(cls.portmapper), "--serial", "FIND-A"],
            "b": ["--bind", "127.0.0.6", "--mdns", "Find B", "--mdns-port", "0", "--serial", "FIND-B"],
            "c": ["--bind", "127.0.0.7", "--hislip-port", "0", "--mdns", "Find C", "--mdns-port", "0", "--serial",
                  "FIND-C"],
        }
        lines = {"a": 3, "b": 2, "c": 3}
        cls.ports = {}
        for name, args in specs.items():
            p = subprocess.Popen([SIM, "--port", "0", *args], stdout=subprocess.PIPE, text=True)
            cls.addClassCleanup(cls.stop, p)
            for _ in range(lines[name]):
                # "listening on <address>:<port>", "<front end> listening on ...", "vxi11 portmapper: ..."
                head, _, port = p.stdout.readline().strip().rpartition(":")
                if "listening on" in head:
                    cls.ports[(name, head.split(" listening")[0] if " listening" in head else "socket")] = int(port)

    @staticmethod
    def stop(p):
        p.terminate()
        p.wait(timeout=10)
        p.stdout.close()

    def find(self, *args):
        command = [KORVANE, "find", "--interface", "lo", "--portmapper-port", str(self.portmapper),
                   "--dns-sd", f"127.0.0.6:{self.ports[('b', 'mdns')]}",
                   "--dns-sd", f"127.0.0.7:{self.ports[('c', 'mdns')]}", *args]
        started = time.monotonic()
        p = subprocess.run(command, capture_output=True, text=True, timeout=60)
        return p.returncode, p.stdout, p.stderr, time.monotonic() - started

    def test_three_simulators_with_their_identities(self):
        rc, out, err, took = self.find("--json", "--timeout", "800")
        self.assertEqual(rc, 0, err)
        found = {r["resource"]: r for r in json.loads(out)}
        expected = {
            "TCPIP0::127.0.0.5::inst0::INSTR": ("FIND-A", ["portmapper"]),
            f"TCPIP0::127.0.0.6::{self.ports[('b', 'socket')]}::SOCKET": ("FIND-B", ["dns-sd"]),
            f"TCPIP0::127.0.0.7::hislip0,{self.ports[('c', 'hislip')]}::INSTR": ("FIND-C", ["dns-sd"]),
        }
        for resource, (serial, via) in expected.items():
            self.assertIn(resource, found, out)
            self.assertEqual(found[resource]["serial"], serial)
            self.assertEqual(found[resource]["via"], via)
            self.assertTrue(found[resource]["manufacturer"] and found[resource]["model"], found[resource])
        # The finders and then the identity queries each run side by side: two timeouts at most.
        self.assertLess(took, 0.8 * 2 + 3.0)

    def test_expression_and_announced_identity(self):
        rc, out, err, _ = self.find("--json", "--no-idn", "--timeout", "400", "?*SOCKET")
        self.assertEqual(rc, 0, err)
        found = json.loads(out)
        self.assertEqual(sorted(r["resource"] for r in found),
                         sorted(f"TCPIP0::127.0.0.{n}::{self.ports[(k, 'socket')]}::SOCKET" for n, k in ((6, "b"), (7, "c"))))
        # Without *IDN? the DNS-SD TXT records still give the identity.
        self.assertEqual(sorted(r["serial"] for r in found), ["FIND-B", "FIND-C"])

    def test_table_and_refusals(self):
        rc, out, err, _ = self.find("--timeout", "400", "TCPIP0::127.0.0.5::?*")
        self.assertEqual(rc, 0, err)
        self.assertRegex(out, r"RESOURCE\s+MANUFACTURER\s+MODEL\s+SERIAL\s+FIRMWARE\n")
        self.assertRegex(out, r"TCPIP0::127\.0\.0\.5::inst0::INSTR\s+\S.*FIND-A")
        rc, out, err, _ = self.find("TCPIP[")
        self.assertEqual(rc, 2)
        self.assertIn("without its ']'", err)
        rc, out, err = subprocess.run([KORVANE, "find", "--interface", "no-such-interface0", "--no-idn", "TCPIP?*"],
                                      capture_output=True, text=True, timeout=60).returncode, "", ""
        self.assertEqual(rc, 0)


if __name__ == "__main__":
    KORVANE, SIM = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1])
