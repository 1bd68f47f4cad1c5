"""Every query the driver's generic getters send has an answer from the simulator: a query it
does not know would cost the caller a full I/O timeout instead of a value.

Usage: catalog_queries_test.py <korvane-scope-sim> <catalog dir>
"""
import glob
import os
import re
import socket
import subprocess
import sys
import tomllib


def catalogue_queries(catalog):
    """(interface, member, query) of the getters and properties the simulator serves, with a
    channel or bus number of 1 where the query takes one."""
    out = []
    for path in sorted(glob.glob(os.path.join(catalog, "interfaces-*.toml"))) + [os.path.join(catalog, "ivi.toml")]:
        with open(path, "rb") as f:
            data = tomllib.load(f)
        for itf in data.get("interface", []):
            for m in itf.get("member", []):
                query = m.get("query")
                if not query or m.get("kind") not in ("get", "property") or m.get("sim", True) is False:
                    continue
                query = re.sub(r"%h?d", "1", query)
                if "%" not in query:
                    out.append((itf["name"], m["name"], query))
    return out


def main(sim, catalog):
    queries = catalogue_queries(catalog)
    assert len(queries) > 500, f"only {len(queries)} queries found in {catalog}"
    p = subprocess.Popen([sim, "--port", "0", "--model", "MSO-CD1000"], stdout=subprocess.PIPE, text=True)
    try:
        line = p.stdout.readline()
        port = int(re.search(r":(\d+)$", line.strip()).group(1))
        s = socket.create_connection(("127.0.0.1", port), timeout=2)
        rx = b""
        unanswered = []
        for itf, member, query in queries:
            s.sendall(query.encode() + b"\n")
            try:
                while b"\n" not in rx:
                    chunk = s.recv(65536)
                    if not chunk:
                        raise EOFError("the simulator closed the connection")
                    rx += chunk
                _, rx = rx.split(b"\n", 1)
            except socket.timeout:
                unanswered.append(f"{itf}.{member} {query}: no reply")
        s.sendall(b":SYST:ERR?\n")
        while b"\n" not in rx:
            rx += s.recv(65536)
        for u in unanswered:
            print(u)
        print(f"{len(queries) - len(unanswered)} of {len(queries)} queries answered")
        if unanswered:
            return 1
        if not rx.startswith(b"+0,"):
            print(f"the simulator queued an error: {rx.decode(errors='replace').strip()}")
            return 1
        return 0
    finally:
        p.terminate()
        p.wait(timeout=10)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
