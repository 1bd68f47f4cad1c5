#!/usr/bin/env python3
"""The lock of the driver's published contract: catalog/contract.lock.

Usage: contract_lock.py [--catalog DIR] [--lock FILE]             # check (the build runs this)
       contract_lock.py [--catalog DIR] [--lock FILE] --accept    # write what the catalogue says

What clients compile or bind against is recorded there, one `key = value` a line: the type
library, class and interface identifiers, ProgIDs, each interface's base, object and vtable
(entry by entry, with parameter types, directions and names), the DISPIDs late binding hands out,
enumeration values, the IVI-C attribute identifiers and prototypes, the HRESULT of every
message, and the flat C API's prototypes and constants (gen_ansic.py). The check fails when the
catalogue changes or drops a recorded item, naming each one, until the change is accepted on purpose with --accept (which rewrites the file; commit it with
the change, so review sees what became public). Items the lock does not hold yet are additions:
they pass, with a warning that lists them, until --accept records them. An interface's entry
count is recorded too, so a member added to a published interface is a change, not an addition.
"""
from __future__ import annotations

import argparse
import re
import sys
import tomllib
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import gen_ansic  # noqa: E402
import gen_ivic  # noqa: E402
import gen_registry  # noqa: E402
import ivic_tables as it  # noqa: E402
import korvane_catalog as kc  # noqa: E402

DEFAULT_CATALOG = HERE.parents[1] / "catalog"
LOCK_NAME = "contract.lock"
BANNER = """\
# The published contract of the driver, written by tools/codegen/contract_lock.py --accept from
# catalog/; the build fails when the catalogue would change or drop an item below. Review a
# change of this file as a change of what clients compile and bind against."""
PROTOTYPE_RE = re.compile(r"ViStatus _VI_FUNC (Korvane_\w+)\((.*?)\);", re.S)
# How many unrecorded additions the warning lists by name.
SHOWN_ADDITIONS = 20


def _param(p) -> str:
    return f"{p.dir} {p.type} {p.name}"


def _dispids(cat, iface):
    """name -> DISPID of the names iface introduces: late binding numbers the distinct member
    names of the whole chain from 1, base entries first (src/com/Dispatch.cpp)."""
    seen, own = {}, {}
    for i in list(reversed(cat.base_chain(iface))) + [iface]:
        for m in i.members:
            key = m.name.lower()
            if key not in seen:
                seen[key] = len(seen) + 1
                if i is iface:
                    own[m.name] = seen[key]
    return own


def _hresult(v: int) -> str:
    return f"0x{v:08X}"


def contract(catalog) -> dict:
    """key -> value of everything the catalogue publishes, in a stable order."""
    catalog = Path(catalog)
    cat = kc.load(catalog)
    tables = it.load(catalog, cat)
    items = {}
    lib = cat.library
    items[f"library {lib['name']} libid"] = "{" + lib["libid"] + "}"
    items[f"library {lib['name']} version"] = str(lib["version"])
    items["appid"] = gen_registry.APPID.upper()
    for t in cat.typelibs.values():
        items[f"typelib {t.name} libid"] = "{" + t.libid + "}"
    for c in cat.coclasses.values():
        items[f"coclass {c.name} clsid"] = "{" + c.clsid + "}"
        items[f"coclass {c.name} progid"] = ", ".join(gen_registry.prog_ids(c.name))
        items[f"coclass {c.name} default"] = c.default
    for i in list(cat.ivi_interfaces) + cat.driver_interfaces:
        head = f"interface {i.name}"
        items[f"{head} iid"] = "{" + i.iid + "}"
        items[f"{head} base"] = i.base
        items[f"{head} coclass"] = i.coclass
        items[f"{head} entries"] = str(i.entries)
        for k, m in enumerate(i.members):
            items[f"{head} vtable {k}"] = f"{m.entry_name}({', '.join(_param(p) for p in m.params)})"
        for name, dispid in _dispids(cat, i).items():
            items[f"{head} dispid {name}"] = str(dispid)
    for e in cat.enums.values():
        for m in e.members:
            items[f"enum {e.name} {e.member_name(m.word)}"] = str(m.value)
    for a in tables.attributes:
        items[f"attribute {a.constant}"] = f"{a.id} {gen_ivic.C_TYPE[a.type]} {a.access}" + \
            (f" per {a.repcap}" if a.repcap else "")
    template = (HERE / "Korvane.h.in").read_text(encoding="utf-8")
    hand = {n: " ".join(p.split()) for n, p in PROTOTYPE_RE.findall(template)}
    for name in gen_ivic.SESSION_FUNCTIONS + gen_ivic.ACCESSORS:
        items[f"function {name}"] = hand.get(name, "?")
    for f in tables.functions:
        items[f"function {f.name}"] = ", ".join(["ViSession vi"] + [gen_ivic.c_decl(p) for p in f.params])
    with open(catalog / "messages.toml", "rb") as fh:
        for r in tomllib.load(fh)["message"]:
            if r["hresult"]:
                items[f"error {r['name']}"] = _hresult(r["hresult"])
    items.update(gen_ansic.contract_items(gen_ansic.Model(cat, tables, gen_ansic.identifier(catalog)), catalog))
    return items


def render(items: dict) -> str:
    return BANNER + "\n" + "".join(f"{k} = {v}\n" for k, v in items.items())


def parse(text: str) -> dict:
    out = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            key, sep, value = line.partition(" = ")
            if sep:
                out[key] = value
    return out


def compare(locked: dict, now: dict):
    """(problems, additions): what changed or disappeared, and what the lock lacks."""
    problems = []
    for key, old in locked.items():
        new = now.get(key)
        if new is None:
            problems.append(f"{key} disappeared (was {old})")
        elif new != old:
            problems.append(f"{key} changed: {old} -> {new}")
    additions = [key for key in now if key not in locked]
    return problems, additions


def accept_command(catalog: Path, lock: Path) -> str:
    cmd = f"python3 {HERE / 'contract_lock.py'} --accept"
    if catalog.resolve() != DEFAULT_CATALOG.resolve():
        cmd += f" --catalog {catalog}"
    if lock.resolve() != (catalog / LOCK_NAME).resolve():
        cmd += f" --lock {lock}"
    return cmd


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--catalog", type=Path, default=DEFAULT_CATALOG)
    ap.add_argument("--lock", type=Path, help=f"default: <catalog>/{LOCK_NAME}")
    ap.add_argument("--accept", action="store_true", help="record what the catalogue publishes now")
    a = ap.parse_args(argv)
    lock = a.lock or a.catalog / LOCK_NAME
    try:
        now = contract(a.catalog)
    except (kc.CatalogError, it.TablesError) as e:
        print("\n".join(e.errors), file=sys.stderr)
        return 1
    if a.accept:
        text = render(now)
        if not lock.exists() or lock.read_text(encoding="utf-8") != text:
            lock.write_text(text, encoding="utf-8")
        print(f"contract: {lock} records {len(now)} items")
        return 0
    accept = accept_command(a.catalog, lock)
    if not lock.exists():
        print(f"contract: {lock} does not exist; write it with\n    {accept}", file=sys.stderr)
        return 1
    problems, additions = compare(parse(lock.read_text(encoding="utf-8")), now)
    if problems:
        for p in problems:
            print(f"contract: {p}", file=sys.stderr)
        items = "1 item" if len(problems) == 1 else f"{len(problems)} items"
        print(f"contract: the catalogue changes what {lock} publishes ({items} above).\n"
              f"If that is meant, accept it and commit the lock with the change:\n    {accept}", file=sys.stderr)
        return 1
    if additions:
        shown = ", ".join(additions[:SHOWN_ADDITIONS]) + (", ..." if len(additions) > SHOWN_ADDITIONS else "")
        print(f"contract: warning: {len(additions)} addition(s) not yet in {lock}: {shown}\n"
              f"contract: they are allowed; record them with\n    {accept}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
