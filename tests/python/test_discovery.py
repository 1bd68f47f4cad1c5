"""korvane.find_resources() against simulators on 127.0.0.8 and .9 (loopback only): the same
list `korvane find --json` prints, since both go through Korvane_FindResources."""
import json
import os
import socket
import subprocess

import pytest

import korvane

SIM = os.environ.get("KORVANE_SIM", "")
CLI = os.environ.get("KORVANE_CLI", "")


def start(*args, lines):
    p = subprocess.Popen([SIM, "--port", "0", *args], stdout=subprocess.PIPE, text=True)
    ports = {}
    for _ in range(lines):
        head, _, port = p.stdout.readline().strip().rpartition(":")
        if "listening on" in head:
            ports[head.split(" listening")[0] if " listening" in head else "socket"] = int(port)
    return p, ports


@pytest.fixture(scope="module")
def sims():
    with socket.socket() as t, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
        t.bind(("127.0.0.1", 0))
        portmapper = t.getsockname()[1]
        u.bind(("127.0.0.1", portmapper))
    a = start("--bind", "127.0.0.8", "--vxi11", "--portmapper-port", str(portmapper), "--serial", "PY-A", lines=3)
    b = start("--bind", "127.0.0.9", "--mdns", "Py B", "--mdns-port", "0", "--serial", "PY-B", lines=2)
    yield {"portmapper": portmapper, "dns_sd": f"127.0.0.9:{b[1]['mdns']}", "socket_b": b[1]["socket"]}
    for p, _ in (a, b):
        p.terminate()
        p.wait(timeout=10)
        p.stdout.close()


def test_python_and_tool_list_the_same(sims):
    found = korvane.find_resources("TCPIP0::127.0.0.[89]::?*", interfaces=["lo"], timeout_ms=500,
                                   portmapper_port=sims["portmapper"], dns_sd=[sims["dns_sd"]])
    by_name = {f.resource: f for f in found}
    socket_b = f"TCPIP0::127.0.0.9::{sims['socket_b']}::SOCKET"
    assert set(by_name) == {"TCPIP0::127.0.0.8::inst0::INSTR", socket_b}
    assert by_name["TCPIP0::127.0.0.8::inst0::INSTR"].serial == "PY-A"
    assert by_name["TCPIP0::127.0.0.8::inst0::INSTR"].via == ("portmapper",)
    assert by_name[socket_b].serial == "PY-B" and by_name[socket_b].manufacturer

    out = subprocess.run([CLI, "find", "TCPIP0::127.0.0.[89]::?*", "--json", "--interface", "lo", "--timeout", "500",
                          "--portmapper-port", str(sims["portmapper"]), "--dns-sd", sims["dns_sd"]],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    tool = {r["resource"]: (r["serial"], tuple(r["via"])) for r in json.loads(out)}
    assert tool == {f.resource: (f.serial, f.via) for f in found}

    # A found resource opens as it is.
    with korvane.Scope(socket_b) as scope:
        assert scope.identity.instrument_model == by_name[socket_b].model


def test_bad_expression_and_option():
    with pytest.raises(korvane.Error) as e:
        korvane.find_resources("TCPIP[", interfaces=["lo"])
    assert "without its ']'" in e.value.description
    with pytest.raises(ValueError):
        korvane.find_resources(interfaces=["lo;Timeout=5"])
