#!/usr/bin/env python3
"""Late-bound clients of the registered Korvane.dll under Wine, against the simulator.

Usage: script_clients.py <wine> <Korvane.dll> <simulator> <scripts dir> <dispatch client .exe>

Starts the (Linux) simulator on a free loopback port, registers the DLL with regsvr32, runs the
VBScript and JScript demo scripts through cscript and the compiled IDispatch-only client, and
unregisters again. Each client prints its steps; the test fails when any client does.
"""
import os
import re
import subprocess
import sys
import time


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def is_32bit(dll):
    """A 32-bit DLL needs the 32-bit regsvr32 and cscript (SysWOW64 in a 64-bit prefix)."""
    with open(dll, "rb") as f:
        head = f.read(4096)
    at = int.from_bytes(head[0x3C:0x40], "little")
    return int.from_bytes(head[at + 4:at + 6], "little") == 0x14C


def main(argv):
    wine, dll, sim, scripts, client = argv[1:6]
    system = "C:\\windows\\syswow64\\" if is_32bit(dll) else ""
    regsvr32, cscript = system + "regsvr32.exe", system + "cscript.exe"
    dll, scripts = windows_path(dll), windows_path(scripts)
    env = dict(os.environ, WINEDEBUG="-all")
    if not os.access(sim, os.X_OK):
        print(f"the simulator {sim} is not built (build the linux preset first)")
        return 1
    proc = subprocess.Popen([sim, "--port", "0", "--model", "MSO-CD1000", "--signal", "1:sine:1e3:0.5",
                             "--signal", "2:square:2e3:1"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)
    failed = 0
    try:
        m = None
        for _ in range(20):
            line = proc.stdout.readline()
            m = re.match(r"listening on 127\.0\.0\.1:(\d+)", line)
            if m or not line:
                break
        if not m:
            print("the simulator did not start")
            return 1
        resource = f"TCPIP0::127.0.0.1::{m.group(1)}::SOCKET"
        if subprocess.run([wine, regsvr32, "/s", dll], env=env, timeout=120).returncode != 0:
            print("regsvr32 failed")
            return 1
        try:
            runs = [("vbscript", [wine, cscript, "//nologo", scripts + "\\demo.vbs", resource]),
                    ("jscript", [wine, cscript, "//nologo", scripts + "\\demo.js", resource]),
                    ("dispatch client", [wine, client])]
            for name, cmd in runs:
                start = time.monotonic()
                r = subprocess.run(cmd, env=dict(env, KORVANE_TEST_RESOURCE=resource), capture_output=True,
                                   text=True, timeout=240)
                out = (r.stdout + r.stderr).replace("\r", "")
                print(f"--- {name} (exit {r.returncode}, {time.monotonic() - start:.1f} s)")
                print(out.rstrip())
                # A script that stops on an unhandled error exits 0 without reaching its end.
                if r.returncode != 0 or "FAIL" in out or (name != "dispatch client" and "ok close" not in out):
                    failed += 1
        finally:
            subprocess.run([wine, regsvr32, "/s", "/u", dll], env=env, timeout=120)
    finally:
        proc.terminate()
        proc.wait(timeout=10)
    print(f"{failed} client(s) failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
