"""Loader and validator of the IVI-C tables: catalog/attributes.toml and catalog/functions.toml.

The attribute table maps each IVI-C attribute identifier to one COM property; the function table
maps each exported operation function to one COM method and gives its C parameter list, which is
derived from the method's COM parameters by fixed conversion rules (`c_params`). Both tables are
checked on their own and, where the COM catalogue (korvane_catalog.py) already holds the
interface and its members, against it.

Every finding is "<file>:<line>: <rule>: <message>"; any finding fails the load. What the tables
publish (identifiers, types, access, prototypes) is held by catalog/contract.lock, which
contract_lock.py checks, so no totals are kept here.

Standard library only (Python 3.11+ for tomllib).

    python3 tools/codegen/ivic_tables.py catalog            # check, print findings and sizes
    python3 tools/codegen/ivic_tables.py catalog --quiet    # findings only
"""
from __future__ import annotations

import re
import sys
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korvane_catalog  # noqa: E402

ATTR_TYPES = ("I32", "I64", "R64", "B", "S")
ACCESS = ("R", "RW", "W")
INHERENT_BASE, DRIVER_BASE, CLASS_BASE = 1050000, 1150000, 1250000
# Driver identifiers lie between the specific base and the class base.
DRIVER_FIRST, DRIVER_LAST = DRIVER_BASE + 1, CLASS_BASE - 1
CONSTANT_RE = re.compile(r"^KORVANE_ATTR_[A-Z0-9_]+$")

FAMILIES = ("action", "configure", "query", "string-in", "string-out", "array-in", "array-out", "repcap")
COM_DIRS = ("in", "out", "inout", "retval")
SCALAR_C = {"long": "ViInt32", "short": "ViInt16", "int64": "ViInt64", "double": "ViReal64",
            "VARIANT_BOOL": "ViBoolean", "BSTR": "ViConstString"}
ARRAY_C = {"double": "ViReal64", "short": "ViInt16", "long": "ViInt32", "BYTE": "ViByte"}
C_PARAM_RE = re.compile(r"^(Vi[A-Za-z0-9]+)(\*?) ([A-Za-z_][A-Za-z0-9_]*)(\[\])?$")
COM_PARAM_RE = re.compile(r"^(in|out|inout|retval) (\S+) ([A-Za-z_][A-Za-z0-9_]*)$")
NULL_MSG_RE = re.compile(r"^Parameter ([A-Za-z_][A-Za-z0-9_]*) is VI_NULL\.$")
FUNC_NAME_RE = re.compile(r"^Korvane_[A-Za-z0-9_]+$")


class TablesError(Exception):
    def __init__(self, errors):
        self.errors = list(errors)
        super().__init__("\n".join(self.errors))


@dataclass
class Report:
    errors: list = field(default_factory=list)
    warnings: list = field(default_factory=list)

    def add(self, where, rule, message, warning=False):
        (self.warnings if warning else self.errors).append(f"{where}: {rule}: {message}")

    def rules(self, warnings=False):
        return {line.split(": ")[1] for line in (self.warnings if warnings else self.errors)}


def _lines(text, pattern):
    rx = re.compile(pattern)
    return [n for n, line in enumerate(text.splitlines(), 1) if rx.search(line)]


def _read(path: Path, report: Report):
    text = path.read_text(encoding="utf-8")
    try:
        return text, tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        m = re.search(r"line (\d+)", str(e))
        report.add(f"{path}:{m.group(1) if m else 1}", "syntax", str(e))
        return text, None


def _at(path, lines, k):
    return f"{path}:{lines[k] if k < len(lines) else 1}"


# ---------------------------------------------------------------------------------------------
# Attributes.


@dataclass
class Attribute:
    id: int
    interface: str  # "" for the one attribute that no COM property answers
    name: str
    type: str
    access: str
    constant: str
    repcap: str | None
    collection: str | None
    fixed: str | None
    null_session: bool
    where: str

    @property
    def range(self):
        if DRIVER_FIRST <= self.id <= DRIVER_LAST:
            return "driver"
        if INHERENT_BASE < self.id < INHERENT_BASE + 100000:
            return "inherent"
        if CLASS_BASE < self.id < CLASS_BASE + 100000:
            return "class"
        return None


def load_attributes(path, report: Report):
    path = Path(path)
    text, data = _read(path, report)
    if data is None:
        return []
    lines = _lines(text, r"\bid\s*=")
    group_lines = _lines(text, r"^\s*\[\[\s*group\s*\]\]")
    repcaps = data.get("repcap", {})
    for rc, t in repcaps.items():
        if not t.get("collection") or not t.get("coclass"):
            report.add(f"{path}:1", "missing-field", f"repcap {rc} needs 'collection' and 'coclass'")
    attrs, k = [], 0
    for g, group in enumerate(data.get("group", [])):
        gw = _at(path, group_lines, g)
        iface = group.get("interface")
        if iface is None:
            report.add(gw, "missing-field", "group needs 'interface' (\"\" when no COM property answers)")
            iface = ""
        rc = group.get("repcap")
        if rc is not None and rc not in repcaps:
            report.add(gw, "unknown-repcap", f"{iface}: repeated capability '{rc}' has no [repcap.{rc}] table")
        for a in group.get("attributes", []):
            w = _at(path, lines, k)
            k += 1
            missing = [f for f in ("id", "name", "type", "access", "constant") if f not in a]
            if missing:
                report.add(w, "missing-field", f"attribute needs {', '.join(missing)}")
                continue
            attr = Attribute(a["id"], iface, a["name"], a["type"], a["access"], a["constant"], rc,
                             repcaps.get(rc, {}).get("collection") if rc else None,
                             a.get("fixed"), bool(a.get("null_session", False)), w)
            attrs.append(attr)
    check_attributes(attrs, report)
    return attrs


def check_attributes(attrs, report: Report):
    ids, constants = {}, {}
    for a in attrs:
        if not isinstance(a.id, int) or isinstance(a.id, bool):
            report.add(a.where, "bad-id", f"identifier {a.id!r} is not a number")
            continue
        if a.id in ids:
            report.add(a.where, "duplicate-id", f"{a.id} is already {ids[a.id].interface}.{ids[a.id].name} ({ids[a.id].where})")
        ids.setdefault(a.id, a)
        if a.constant in constants:
            report.add(a.where, "duplicate-constant", f"{a.constant} is already the name of {constants[a.constant].id}")
        constants.setdefault(a.constant, a)
        if not CONSTANT_RE.match(a.constant):
            report.add(a.where, "constant-name", f"{a.id}: '{a.constant}' is not KORVANE_ATTR_<UPPER_SNAKE>")
        rng = a.range
        driver_iface = a.interface.startswith("IKorvane")
        if rng is None or (rng == "driver") != driver_iface:
            where = f"{DRIVER_FIRST}..{DRIVER_LAST}" if driver_iface else "1050000+n or 1250000+n"
            report.add(a.where, "id-range", f"{a.id} ({a.interface or 'no interface'}.{a.name}) lies outside {where}")
        if a.type not in ATTR_TYPES:
            report.add(a.where, "unknown-type", f"{a.id}: type '{a.type}' is not one of {', '.join(ATTR_TYPES)}")
        if a.access not in ACCESS:
            report.add(a.where, "unknown-access", f"{a.id}: access '{a.access}' is not one of {', '.join(ACCESS)}")
        if not a.interface and not a.fixed:
            report.add(a.where, "no-property", f"{a.id}: without an interface the value must be 'fixed'")
        if a.fixed is not None and (a.type != "S" or a.access != "R"):
            report.add(a.where, "no-property", f"{a.id}: a fixed value is a read-only string")
        if a.null_session and a.access != "R":
            report.add(a.where, "null-session", f"{a.id}: only read-only identity values are read without a session")


# ---------------------------------------------------------------------------------------------
# Functions.


@dataclass
class CParam:
    type: str  # base type, e.g. ViReal64
    pointer: bool
    name: str
    array: bool

    def __str__(self):
        return f"{self.type}{'*' if self.pointer else ''} {self.name}{'[]' if self.array else ''}"


@dataclass
class ComParam:
    dir: str
    type: str
    name: str


@dataclass
class Function:
    name: str
    interface: str
    method: str
    family: list
    repcap: str | None
    collection: str | None
    com: list  # list[ComParam]
    params: list  # list[CParam], after vi
    null_messages: list
    actual: str | None
    ivi_order: bool
    where: str
    extra: dict = field(default_factory=dict)
    rename: dict = field(default_factory=dict)
    retype: dict = field(default_factory=dict)


def parse_c_param(text):
    m = C_PARAM_RE.match(text) if isinstance(text, str) else None
    if not m:
        return None
    return CParam(m.group(1), bool(m.group(2)), m.group(3), bool(m.group(4)))


def parse_com_param(text):
    m = COM_PARAM_RE.match(text) if isinstance(text, str) else None
    return ComParam(m.group(1), m.group(2), m.group(3)) if m else None


def _array_elem(t):
    m = korvane_catalog.ARRAY_RE.match(t)
    return m.group(1) if m else None


def c_params(com, repcap_name=None, family=(), actual=None, ivi_order=False, enums=(), rename=None, retype=None):
    """The C parameters (after vi) of a function over a COM method with parameters `com`.

    A repeated-capability item is addressed by a name right after vi; out, retval and inout
    scalars become pointers; a BSTR output becomes a buffer size and a ViChar buffer; an array
    output becomes an element count, the caller's array and, unless `actual` is "" (the COM
    method counts itself), an actual-count pointer after the last output array, the min/max pair
    sharing one count; an array input becomes a count and the array. An in-out array is an input
    when the family says array-in only. `ivi_order` moves the count of an output array to the
    front, where the class-defined read functions keep it. `rename` and `retype` then replace
    names and base types by name (the class functions keep their IVI-C parameter names).
    """
    out = []
    if repcap_name:
        out.append(CParam("ViConstString", False, repcap_name, False))
    only_in = "array-in" in family and "array-out" not in family
    arrays_out = [p for p in com if _array_elem(p.type) and p.dir != "in" and not (p.dir == "inout" and only_in)]
    count_at = None
    for p in com:
        elem = _array_elem(p.type)
        if elem:
            ctype = ARRAY_C[elem]
            if p in arrays_out:
                if count_at is None:
                    count_at = len(out)
                    out.append(CParam("ViInt32", False, f"{p.name}Size", False))
                out.append(CParam(ctype, False, p.name, True))
                if p is arrays_out[-1] and actual != "":
                    out.append(CParam("ViInt32", True, actual or f"{p.name}ActualSize", False))
            else:
                out.append(CParam("ViInt32", False, f"{p.name}Size", False))
                out.append(CParam(ctype, False, p.name, True))
            continue
        base = "long" if p.type in enums or p.type.endswith("Enum") else p.type
        if p.dir == "in":
            out.append(CParam(SCALAR_C.get(base, "?" + p.type), False, p.name, False))
        elif base == "BSTR":
            out.append(CParam("ViInt32", False, f"{p.name}BufferSize", False))
            out.append(CParam("ViChar", False, p.name, True))
        else:
            out.append(CParam(SCALAR_C.get(base, "?" + p.type), True, p.name, False))
    if ivi_order and count_at is not None:
        first = 1 if repcap_name else 0
        out.insert(first, out.pop(count_at))
    for p in out:
        p.type = (retype or {}).get(p.name, p.type)
        p.name = (rename or {}).get(p.name, p.name)
    return out


def shape_family(f: Function):
    """The family set that a function's parameters show."""
    fam = set()
    params = f.params[1:] if f.repcap else f.params
    if f.repcap:
        fam.add("repcap")
    if any(p.type == "ViConstString" for p in params):
        fam.add("string-in")
    if any(p.type == "ViChar" and p.array for p in params):
        fam.add("string-out")
    arrays = [p for p in f.com if _array_elem(p.type)]
    only_in = "array-in" in f.family and "array-out" not in f.family
    if any(p.dir == "in" or (p.dir == "inout" and "array-in" in f.family) for p in arrays):
        fam.add("array-in")
    if any(p.dir != "in" and not (p.dir == "inout" and only_in) for p in arrays):
        fam.add("array-out")
    if not params:
        fam.add("action")
    elif any(p.pointer or (p.array and p.type == "ViChar") for p in params) or "array-out" in fam:
        fam.add("query")
    else:
        fam.add("configure")
    return fam


def load_functions(path, report: Report, repcaps=None, enums=()):
    path = Path(path)
    text, data = _read(path, report)
    if data is None:
        return []
    lines = _lines(text, r"^\s*\[\[\s*function\s*\]\]")
    repcaps = repcaps or {}
    funcs = []
    for k, t in enumerate(data.get("function", [])):
        w = _at(path, lines, k)
        missing = [f for f in ("name", "interface", "method", "family", "params") if f not in t]
        if missing:
            report.add(w, "missing-field", f"function {t.get('name', '?')} needs {', '.join(missing)}")
            continue
        params, com = [], []
        for s in t["params"]:
            p = parse_c_param(s)
            if p is None:
                report.add(w, "param", f"{t['name']}: '{s}' is not 'ViType[*] Name[[]]'")
            else:
                params.append(p)
        for s in t.get("com", []):
            p = parse_com_param(s)
            if p is None:
                report.add(w, "com-param", f"{t['name']}: '{s}' is not '<in|out|inout|retval> <type> <Name>'")
            else:
                com.append(p)
        rc = t.get("repcap")
        collection = t.get("collection") or (repcaps.get(rc, {}).get("collection") if rc else None)
        known = {"name", "interface", "method", "family", "params", "com", "repcap", "collection",
                 "null_messages", "actual", "ivi_order", "rename", "retype"}
        funcs.append(Function(t["name"], t["interface"], t["method"], list(t["family"]), rc, collection, com,
                              params, list(t.get("null_messages", [])), t.get("actual"),
                              bool(t.get("ivi_order", False)), w, {k2: v for k2, v in t.items() if k2 not in known},
                              dict(t.get("rename", {})), dict(t.get("retype", {}))))
    check_functions(funcs, report, repcaps, enums)
    return funcs


def check_functions(funcs, report: Report, repcaps=None, enums=()):
    seen = {}
    for f in funcs:
        if f.name in seen:
            report.add(f.where, "duplicate-function", f"{f.name} is already entered at {seen[f.name].where}")
        seen.setdefault(f.name, f)
        if not FUNC_NAME_RE.match(f.name):
            report.add(f.where, "function-name", f"'{f.name}' is not Korvane_<Function>")
        bad = [x for x in f.family if x not in FAMILIES]
        if bad:
            report.add(f.where, "unknown-family", f"{f.name}: {', '.join(bad)} not among {', '.join(FAMILIES)}")
        if ("repcap" in f.family) != bool(f.repcap):
            report.add(f.where, "repcap", f"{f.name}: the repcap family and a 'repcap' name go together")
        if f.repcap and repcaps is not None and f.repcap not in repcaps:
            report.add(f.where, "unknown-repcap", f"{f.name}: repeated capability '{f.repcap}' is not declared")
        if f.repcap and not f.collection:
            report.add(f.where, "repcap", f"{f.name}: a repeated-capability function needs its collection")
        if f.com and not bad:
            want = c_params(f.com, f.params[0].name if f.repcap and f.params else None, f.family,
                            f.actual, f.ivi_order, enums, f.rename, f.retype)
            if [str(p) for p in want] != [str(p) for p in f.params]:
                report.add(f.where, "c-params", f"{f.name}: params {[str(p) for p in f.params]} are not those "
                           f"the conversion rules give: {[str(p) for p in want]}")
            shape = shape_family(f)
            if shape != set(f.family):
                report.add(f.where, "family-shape",
                           f"{f.name}: family {sorted(f.family)} but the parameters show {sorted(shape)}")
        pointers = [p.name for p in f.params if p.pointer]
        named = []
        for msg in f.null_messages:
            m = NULL_MSG_RE.match(msg) if isinstance(msg, str) else None
            if m is None:
                report.add(f.where, "null-check", f"{f.name}: '{msg}' is not 'Parameter <Name> is VI_NULL.'")
            else:
                named.append(m.group(1))
        if named != pointers:
            report.add(f.where, "null-check",
                       f"{f.name}: NULL checks {named} differ from the output pointers in order {pointers}")


# ---------------------------------------------------------------------------------------------
# Against the COM catalogue.


def com_attr_type(t, cat):
    if t in ("long", "short") or t in cat.enums:
        return "I32"
    return {"int64": "I64", "double": "R64", "VARIANT_BOOL": "B", "BSTR": "S"}.get(t)


def cross_check_attributes(attrs, cat, report: Report, repcaps):
    for a in attrs:
        if not a.interface:
            continue
        iface = cat.interfaces.get(a.interface)
        if iface is None:
            report.add(a.where, "unknown-interface", f"{a.id}: {a.interface} is not in the COM catalogue")
            continue
        want_coclass = repcaps.get(a.repcap, {}).get("coclass") if a.repcap else "Korvane"
        if iface.coclass != want_coclass:
            report.add(a.where, "repcap-object", f"{a.id}: {a.interface} belongs to {iface.coclass}, "
                       f"but the attribute is answered by {want_coclass}")
        gets = {m.name: m for m in iface.members if m.kind == "get"}
        puts = {m.name: m for m in iface.members if m.kind == "put"}
        g, p = gets.get(a.name), puts.get(a.name)
        if g is None and p is None:
            report.add(a.where, "unknown-property", f"{a.id}: {a.interface} has no property {a.name}")
            continue
        access = ("R" if g else "") + ("W" if p else "")
        if access != a.access:
            report.add(a.where, "property-access", f"{a.id}: {a.interface}.{a.name} is {access or 'none'}, "
                       f"the attribute says {a.access}")
        for m in (g, p):
            if m is not None and com_attr_type(m.type, cat) != a.type:
                report.add(a.where, "property-type", f"{a.id}: {a.interface}::{m.entry_name} is {m.type}, "
                           f"the attribute says {a.type}")
                break


def cross_check_functions(funcs, cat, report: Report):
    for f in funcs:
        iface = cat.interfaces.get(f.interface)
        if iface is None:
            report.add(f.where, "unknown-interface", f"{f.name}: {f.interface} is not in the COM catalogue")
            continue
        if f.collection and f.collection not in cat.interfaces:
            report.add(f.where, "unknown-interface", f"{f.name}: collection {f.collection} is not in the COM catalogue")
        member = next((m for m in iface.members if m.entry_name == f.method), None)
        if member is None:
            report.add(f.where, "unknown-method", f"{f.name}: {f.interface} has no member {f.method}")
            continue
        have = [(p.dir, p.type) for p in member.params]
        # A property's value parameter is named Val in the driver's interfaces, pVal/newVal in IVI's.
        mine = [(p.dir, p.type) for p in f.com]
        if have != mine:
            report.add(f.where, "method-signature", f"{f.name}: {f.interface}::{f.method} takes "
                       f"{[' '.join(x) for x in have]}, the table says {[' '.join(x) for x in mine]}")


# ---------------------------------------------------------------------------------------------


@dataclass
class Tables:
    attributes: list
    functions: list
    repcaps: dict
    report: Report


def load(directory, catalog=None, cross_check=True) -> Tables:
    """Load and check both tables; raise TablesError on errors. Warnings stay in the report."""
    directory = Path(directory)
    report = Report()
    cat = catalog
    if cross_check and cat is None:
        try:
            cat = korvane_catalog.load(directory)
        except korvane_catalog.CatalogError as e:
            report.add(f"{directory}/library.toml:1", "com-catalogue",
                       f"the COM catalogue does not load ({len(e.errors)} errors); cross-checks skipped", True)
    enums = set(cat.enums) if cat else set()
    attrs = load_attributes(directory / "attributes.toml", report)
    repcaps = {}
    try:
        with open(directory / "attributes.toml", "rb") as fh:
            repcaps = tomllib.load(fh).get("repcap", {})
    except (OSError, tomllib.TOMLDecodeError):
        pass
    funcs = load_functions(directory / "functions.toml", report, repcaps, enums) \
        if (directory / "functions.toml").exists() else []
    if cat is not None:
        cross_check_attributes(attrs, cat, report, repcaps)
        cross_check_functions(funcs, cat, report)
    if report.errors:
        raise TablesError(report.errors)
    return Tables(attrs, funcs, repcaps, report)


def main(argv):
    args = [a for a in argv if not a.startswith("--")]
    directory = Path(args[0]) if args else Path(__file__).resolve().parents[2] / "catalog"
    try:
        t = load(directory)
    except TablesError as e:
        print("\n".join(e.errors), file=sys.stderr)
        return 1
    if "--quiet" not in argv:
        for w in t.report.warnings:
            print("warning: " + w)
        print(f"{len(t.attributes)} attributes, {len(t.functions)} functions, {len(t.report.warnings)} warnings")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
