#!/usr/bin/env python3
"""Generate the `korvane` Python package's object model from the catalogue.

Usage: gen_python.py <catalog dir> <output .py>   (writes the .pyi of the same name beside it)

Reads catalog/attributes.toml, functions.toml, the enumerations and the interfaces (their
navigation getters place each attribute in the object tree) and writes one module of class
definitions that python/korvane/_runtime.py turns into properties and methods, each over the
flat C API's function (`KVScope_<path>_get/_set`, `KVScope_<path>_<method>`) that serves the
same catalogue row; the names and C parameters come from gen_ansic.py's model of that API:

  - every enumeration an attribute or function takes, as an IntEnum;
  - one node class per place in the tree (`scope.trigger.edge`), its attributes as properties
    (snake case, docstrings from the catalogue) and its child nodes;
  - one collection class per repeated capability (`scope.channels`) and its item class, which
    holds the per-item attributes and the functions on an item (`read_waveform`);
  - the other operation functions as methods of the root;
  - ATTRIBUTES, every attribute's C function (without _get/_set), kind and selector by its
    Korvane.h constant and by its identifier, for the runtime's identity members and
    Scope.get_attribute.

Standard library only (with the generators beside it): the package is built and installed also
from a source tree of the catalogue and tools/codegen alone (python/setup.py).
"""
from __future__ import annotations

import keyword
import re
import sys
import tomllib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gen_ansic  # noqa: E402  (the flat C API the package calls)

PY_TYPE = {"I32": "int", "I64": "int", "R64": "float", "B": "bool", "S": "str"}
ARRAY_C = {"double": "ViReal64", "short": "ViInt16", "long": "ViInt32", "BYTE": "ViByte"}
ARRAY_RE = re.compile(r"^SAFEARRAY\((double|short|long|BYTE)\)$")
C_PARAM_RE = re.compile(r"^(Vi[A-Za-z0-9]+)(\*?) ([A-Za-z_][A-Za-z0-9_]*)(\[\])?$")
SCALAR_C = {"long": "ViInt32", "short": "ViInt16", "int64": "ViInt64", "double": "ViReal64",
            "VARIANT_BOOL": "ViBoolean", "BSTR": "ViConstString"}
# Catalogue attributes the flat C API has no function for; the package leaves them out.
NO_FLAT_FORM = {
    "KORVANE_ATTR_SPECIFIC_DRIVER_PREFIX": "the IVI-C prefix; the flat API's names carry their own",
    "KORVANE_ATTR_NUM_ENVELOPES": "only on the class interface, which the flat API does not walk",
}
# Functions the package serves otherwise (ivi_direct_io), or that the flat API leaves out.
# The last two configure the class interface's object, whose Configure the flat API does not
# have (the driver's own takes more parameters); its properties remain.
NO_FLAT_FUNCTION = {"Korvane_SystemReadBytes", "Korvane_SystemReadString", "Korvane_viRead",
                    "Korvane_ConfigureNumEnvelopes", "Korvane_ConfigureRefLevels", "Korvane_ConfigureRuntTriggerSource"}
# A read waits this long for an acquisition unless the caller says otherwise (as the tool does).
DEFAULT_MAX_TIME_MS = 5000


class GenError(Exception):
    pass


def snake(name: str) -> str:
    s = re.sub(r"([a-z])([A-Z])", r"\1_\2", name)
    s = re.sub(r"([0-9])([A-Z][a-z])", r"\1_\2", s)
    s = re.sub(r"([A-Z]+)([A-Z][a-z])", r"\1_\2", s)
    s = re.sub(r"[^A-Za-z0-9]+", "_", s).lower().strip("_")
    return s + "_" if keyword.iskeyword(s) or s in ("self",) else s


def read(path: Path):
    with open(path, "rb") as fh:
        return tomllib.load(fh)


# ---------------------------------------------------------------------------------------------
# The catalogue, as much of it as the package needs.


class Catalog:
    def __init__(self, directory: Path):
        self.directory = directory
        self.enums = {}  # name -> [(word, value)]
        self.interfaces = {}  # name -> {"base", "coclass", "members": [raw member]}
        files = sorted(directory.glob("enums*.toml")) + [directory / "ivi.toml"] + \
            sorted(directory.glob("interfaces-*.toml"))
        for path in files:
            data = read(path)
            for e in data.get("enum", []):
                members = []
                for j, m in enumerate(e.get("members", [])):
                    if isinstance(m, list):
                        members.append((m[0], m[1]))
                    else:
                        members.append((m, j + (1 if e.get("rule") == "one" else 0)))
                self.enums[e["name"]] = members
            for i in data.get("interface", []):
                self.interfaces[i["name"]] = {"base": i.get("base", "IUnknown"), "coclass": i.get("coclass"),
                                              "members": i.get("member", [])}
        ivic = read(directory / "attributes.toml")
        self.repcaps = ivic.get("repcap", {})
        self.groups = ivic.get("group", [])
        self.functions = read(directory / "functions.toml").get("function", [])
        self.models = read(directory / "models.toml")

    def members(self, iface):
        return self.interfaces.get(iface, {}).get("members", [])

    def property_member(self, iface, name):
        """The catalogue's get (or property) row of iface.name, searching its bases too."""
        while iface in self.interfaces:
            for m in self.members(iface):
                if m.get("name") == name and m.get("kind") in ("get", "property", "put"):
                    return m
            iface = self.interfaces[iface]["base"]
        return None


def navigation_edges(cat: Catalog):
    """interface -> [(parent interface, getter name or None for 'derived from')]."""
    incoming = {}
    for name, iface in cat.interfaces.items():
        base = iface["base"]
        if base in cat.interfaces:
            incoming.setdefault(base, []).append((name, None))
        for m in iface["members"]:
            if (m.get("kind") == "get" and m.get("name") != "Item" and not m.get("params")
                    and m.get("type") in cat.interfaces):
                incoming.setdefault(m["type"], []).append((name, m["name"]))
    return incoming


def tree_path(cat, incoming, iface, seen=()):
    """The shortest getter path to iface from the top of its object, [] for the top itself.
    An interface another derives from sits where the derived one does."""
    edges = incoming.get(iface, [])
    derived = [p for p, n in edges if n is None and p not in seen]
    candidates = []
    for parent in derived:
        p = tree_path(cat, incoming, parent, seen + (iface,))
        if p is not None:
            candidates.append(p)
    if not candidates:
        if not edges:
            return []
        for parent, getter in edges:
            if getter is None or parent in seen:
                continue
            p = tree_path(cat, incoming, parent, seen + (iface,))
            if p is not None:
                candidates.append(p + [getter])
    return min(candidates, key=len) if candidates else None


def component(getter: str, getters: set) -> str:
    # A newer version of a getter (Trigger4, CAN2) lands where the first one does; a name whose
    # digits belong to it (ARINC429, M1553) stays as it is.
    stem = re.sub(r"\d+$", "", getter)
    return snake(stem if stem != getter and stem in getters else getter)


# ---------------------------------------------------------------------------------------------
# The flat C API: its functions by their place in the tree and the COM member they serve.


def flat_path(path):
    return tuple(p.replace("_", "") for p in path if p != "[]")


class Flat:
    def __init__(self, directory: Path):
        try:
            self.model = gen_ansic.load(directory)
        except SystemExit as e:
            raise GenError(f"gen_python: {e}") from None
        self.index = {}
        for f in self.model.functions:
            self.index.setdefault((flat_path(f.node.path), f.member.name, f.member.kind), []).append(f)

    def find(self, path, name, kind):
        found = self.index.get((flat_path(path), name, kind), [])
        return found[0] if len(found) == 1 else None


# Flat C parameter declarations -> (role, element type): strings and arrays that come back take
# three parameters (size, buffer, size_required), input arrays two (count, data).
FLAT_SCALAR = {"int16_t": "int16_t", "int32_t": "int32_t", "int64_t": "int64_t", "double": "double", "bool": "bool"}


def flat_roles(model, params):
    out, k = [], 0
    while k < len(params):
        t, name = params[k].rsplit(" ", 1)
        if t == "size_t" and name.endswith("_count"):
            out.append(("ain", params[k + 1].split()[-2].rstrip("*")))
            k += 2
        elif t == "size_t" and name.endswith("_size"):
            elem = params[k + 1].rsplit(" ", 1)[0].rstrip("*")
            out.append(("sout", "char") if elem == "char" else ("aout", elem))
            k += 3
        elif t == "const char*":
            out.append(("in", "str"))
            k += 1
        else:
            pointer = t.endswith("*")
            base = t.rstrip("*")
            ctype = FLAT_SCALAR.get(base) or ("int32_t" if base.startswith(model.ident) else None)
            if ctype is None:
                raise GenError(f"gen_python: flat parameter '{params[k]}' has no Python form")
            out.append(("out" if pointer else "in", ctype))
            k += 1
    return out


def flat_layout(flat, f, flat_f, ivic_layout):
    """The runtime's layout over the flat function: the Python names, enumerations and defaults
    of the IVI-C layout (which makes the Python signature) with the roles and C types of the
    flat parameters. The count of an output array stays as a row without a C parameter."""
    roles = flat_roles(flat.model, flat_f.params)
    wanted = [r for r in ivic_layout if r[0] in ("in", "out", "sout", "ain", "aout", "fill")]
    if len(roles) != len(wanted) or len(flat_f.node.selectors) != (1 if f.get("repcap") else 0):
        raise GenError(f"gen_python: {f['name']}: the parameters of {flat_f.name} do not match its rows")
    out = [r for r in ivic_layout if r[0] == "repcap"]  # in C order; a count takes no C parameter
    for (role, ctype), (irole, _, name, enum, default) in zip(roles, wanted):
        if role != {"fill": "aout"}.get(irole, irole):
            raise GenError(f"gen_python: {f['name']}: {name} is {irole} in IVI-C, {role} in {flat_f.name}")
        out.append((irole, ctype, name, enum, default))
    return out + [r for r in ivic_layout if r[0] == "count"]


# ---------------------------------------------------------------------------------------------
# The tree.


class Node:
    def __init__(self, path, kind="node"):
        self.path = path  # tuple of snake names from the root (or from the item)
        self.kind = kind  # node, item, collection, root
        self.children = {}  # name -> Node
        self.attrs = {}  # name -> attribute row
        self.funcs = {}  # name -> function layout
        self.interfaces = []
        self.repcap = None

    def child(self, name):
        if name in self.attrs or name in self.funcs:
            raise GenError(f"gen_python: '{name}' under {'.'.join(self.path) or 'the root'} is an attribute and a node")
        if name not in self.children:
            self.children[name] = Node(self.path + (name,))
        return self.children[name]

    def walk(self):
        for c in self.children.values():
            yield from c.walk()
        yield self


def at(root: Node, path):
    node = root
    for name in path:
        node = node.child(name)
    return node


def enum_class_name(name: str) -> str:
    stem = name[:-4] if name.endswith("Enum") else name
    return stem[len("Korvane"):] if stem.startswith("Korvane") and len(stem) > 7 else stem


def member_name(word: str) -> str:
    s = re.sub(r"([a-z0-9])([A-Z])", r"\1_\2", word)
    s = re.sub(r"([A-Z]+)([A-Z][a-z])", r"\1_\2", s)
    s = re.sub(r"[^A-Za-z0-9]+", "_", s).upper().strip("_")
    return "V_" + s if not s or s[0].isdigit() else s


def attribute_doc(cat, group_iface, a, member, enum):
    access = {"R": "read-only", "W": "write-only", "RW": "read/write"}[a["access"]]
    lines = [f"{group_iface or 'Driver'}.{a['name']}: {PY_TYPE[a['type']]}"
             f"{' (' + enum_class_name(enum) + ')' if enum else ''}, {access}.",
             "", f"IVI-C: {a['constant']} ({a['id']})."]
    if a.get("fixed"):
        lines.append(f"Always {a['fixed']!r}.")
    if member:
        if member.get("query"):
            lines.append(f"Instrument query: {member['query']}")
        if member.get("command"):
            lines.append(f"Instrument command: {member['command']}")
        if member.get("comment"):
            lines.append(member["comment"])
    if enum:
        words = ", ".join(f"{member_name(w)}={v}" for w, v in cat.enums[enum])
        lines.append(f"Values: {words}.")
    return "\n".join(lines)


def function_roles(f, cat):
    """One (role, com parameter or None) per C parameter of f, by the IVI-C conversion rules:
    the repeated-capability name, scalar ins and outs, string buffers (size, buffer), input arrays
    (count, array) and output arrays (one shared count, the arrays, the actual-count pointer)."""
    com = []
    for s in f.get("com", []):
        d, t, n = s.split(" ")
        com.append({"dir": d, "type": t, "name": n})
    family = f["family"]
    out = []
    if f.get("repcap"):
        out.append(("repcap", None))
    only_in = "array-in" in family and "array-out" not in family
    arrays_out = [p for p in com if ARRAY_RE.match(p["type"]) and p["dir"] != "in" and not (p["dir"] == "inout" and only_in)]
    count_at = None
    for p in com:
        if ARRAY_RE.match(p["type"]):
            if p in arrays_out:
                if count_at is None:
                    count_at = len(out)
                    out.append(("count", p))
                fill = p["dir"] == "inout" and "array-in" in family
                out.append(("fill" if fill else "aout", p))
                if p is arrays_out[-1] and f.get("actual") != "":
                    out.append(("actual", p))
            else:
                out.append(("icount", p))
                out.append(("ain", p))
        elif p["dir"] == "in":
            out.append(("in", p))
        elif p["type"] == "BSTR":
            out.append(("sbuf", p))
            out.append(("sout", p))
        else:
            out.append(("out", p))
    if f.get("ivi_order") and count_at is not None:
        out.insert(1 if f.get("repcap") else 0, out.pop(count_at))
    return out


def function_layout(f, cat, repcap_prefix, flat, flat_f):
    params = []
    for s in f["params"]:
        m = C_PARAM_RE.match(s)
        if not m:
            raise GenError(f"gen_python: {f['name']}: parameter '{s}' does not parse")
        params.append((m.group(1), m.group(3)))
    roles = function_roles(f, cat)
    if len(roles) != len(params):
        raise GenError(f"gen_python: {f['name']}: {len(params)} C parameters, the rules give {len(roles)}")
    outs = [name for (role, _), (_, name) in zip(roles, params) if role in ("out", "sout", "aout", "fill")]
    waveform = "InitialX" in outs and "XIncrement" in outs and any(r == "aout" for r, _ in roles)
    layout = []
    for (role, p), (ctype, name) in zip(roles, params):
        enum = p["type"] if p and p["type"] in cat.enums else None
        pyname = snake(name)
        if role == "count":
            pyname = "points" if waveform else "count"
        default = None
        if role == "in" and name == "MaxTimeMilliseconds":
            default = DEFAULT_MAX_TIME_MS
        layout.append((role, ctype, pyname, enum_class_name(enum) if enum else None, default))
    base = f["name"][len("Korvane_"):]
    if repcap_prefix and base.startswith(repcap_prefix) and len(base) > len(repcap_prefix):
        base = base[len(repcap_prefix):]
    method = snake(base)
    proto = gen_ansic.prototype(flat.model, flat_f).split(" ", 1)[1]
    parameters = python_parameters(layout, waveform)
    doc = [f"{f['interface']}.{f['method']} through {proto}."]
    if f.get("comment"):
        doc.append("")
        doc.append(f["comment"])
    if parameters:
        rows = {r[2]: r for r in layout}
        doc += ["", "Args:"] + [f"    {name}: {arg_doc(rows.get(name))}" for name, _, _ in parameters]
    returns = return_doc(layout, waveform)
    if returns:
        doc += ["", "Returns:", f"    {returns}"]
    doc += ["", "Raises:", "    Error: The driver or the instrument refused the call."]
    # The signature and the stub's types come from the IVI-C layout, the call from the flat one.
    return method, {"c": flat_f.name, "layout": layout, "flat": flat_layout(flat, f, flat_f, layout),
                    "waveform": waveform, "doc": "\n".join(doc), "enums": [e for _, _, _, e, _ in layout if e],
                    "parameters": parameters}


def arg_doc(row):
    if row is None:  # out=
        return "A writable array the driver fills instead of a new one (its length is the count)."
    role, ctype, _, enum, default = row
    if role == "count":
        return "How many points to read; the record length when None."
    if role in ("ain", "fill"):
        return f"The values to send, as anything numpy takes ({ARRAY_DTYPE[ctype]} elements)."
    if enum:
        return f"A {enum} member (its name or number also does)."
    text = {"ViReal64": "A float.", "ViBoolean": "A bool.", "ViConstString": "A text."}.get(ctype, "An integer.")
    return text + (f" Defaults to {default}." if default is not None else "")


def return_doc(layout, waveform):
    outs = [r[2] for r in layout if r[0] in ("out", "sout", "sfix", "aout", "fill")]
    if waveform:
        return "A Waveform (y, t, x0, dx) per output array; the driver writes the samples straight into y."
    if not outs:
        return ""
    return outs[0] + "." if len(outs) == 1 else "A named tuple (" + ", ".join(outs) + ")."


def python_parameters(layout, waveform):
    """The Python parameters after self, in order, as (name, "required" | "optional" | "keyword",
    default): the runtime builds the method's signature from them and the stub declares the same."""
    params = [(name, "required" if default is None else "optional", default)
              for role, _, name, _, default in layout if role in ("in", "ain", "fill")]
    # Inputs with defaults after the others: the max time comes last among them.
    params.sort(key=lambda p: p[1] == "optional")
    counts = [r for r in layout if r[0] == "count"]
    if counts and not any(r[0] == "fill" for r in layout):
        count = (counts[0][2], "optional" if waveform else "required", None)
        if waveform:  # read_waveform(1000) means points, as the C function's count comes first
            params.insert(next((k for k, p in enumerate(params) if p[1] == "optional"), len(params)), count)
        else:
            params.append(count)
        if sum(1 for r in layout if r[0] == "aout") == 1:
            params.append(("out", "keyword", None))
    return params


def build(cat: Catalog):
    incoming = navigation_edges(cat)
    getters = {m["name"] for i in cat.interfaces.values() for m in i["members"]
               if m.get("kind") == "get" and m.get("type") in cat.interfaces}
    flat = Flat(cat.directory)
    root = Node((), "root")
    used_enums = []

    def place(iface):
        p = tree_path(cat, incoming, iface)
        if p is None:
            raise GenError(f"gen_python: no getter path reaches {iface}")
        return tuple(component(g, getters) for g in p)

    def flat_function(f):
        """The flat function of a catalogue function row: found by its place and COM member."""
        method, kind = f["method"], "method"
        if method.startswith(("get_", "put_")):
            kind, method = ("get" if method.startswith("get_") else "put"), method[4:]
        path = place(f["interface"])
        found = flat.find(path, method, kind)
        if f.get("repcap"):
            found = flat.find(collections[f["repcap"]].path + path, method, kind)
            if found is None and f.get("collection"):
                # A channel's reads are its measurement's (the collection row says whose).
                found = flat.find(place(f["collection"]) + path, method, kind)
        if found is None:
            raise GenError(f"gen_python: {f['name']}: no flat function serves {f['interface']}.{f['method']}")
        return found

    def attribute_function(node, a):
        found = flat.find(node.path, a["name"], "get" if "R" in a["access"] else "put")
        if found is None:
            return None
        if len(found.node.selectors) != (1 if "[]" in node.path else 0):
            raise GenError(f"gen_python: {a['constant']}: {found.name} takes {len(found.node.selectors)} selectors")
        return found.name.rsplit("_", 1)[0]  # without _get / _set

    # Collections: the interface of each repeated capability's Get<Name>Name function.
    collections = {}
    fnames = {f["name"]: f for f in cat.functions}
    for rc in cat.repcaps:
        f = fnames.get(f"Korvane_Get{rc}Name")
        if f is None:
            raise GenError(f"gen_python: repeated capability {rc} has no Korvane_Get{rc}Name")
        coll = at(root, place(f["interface"]))
        coll.kind = "collection"
        coll.repcap = rc
        coll.item = Node(coll.path + ("[]",), "item")
        coll.item.repcap = rc
        collections[rc] = coll
        coll.name_function = flat_function(f).name
        coll.count = None

    attributes = {}  # constant -> (id, function, kind, selector), for the runtime
    for g in cat.groups:
        iface = g["interface"]
        rc = g.get("repcap")
        if rc:
            node = at(collections[rc].item, place(iface))
        else:
            node = at(root, place(iface)) if iface else root
        if iface and iface not in node.interfaces:
            node.interfaces.append(iface)
        for a in g["attributes"]:
            name = snake(a["name"])
            cname = attribute_function(node, a)
            if cname is None:
                if a["constant"] in NO_FLAT_FORM:
                    continue
                raise GenError(f"gen_python: {a['constant']}: no flat function serves {iface}.{a['name']}")
            attributes[a["constant"]] = (a["id"], cname, a["type"], "[]" in node.path)
            if node.kind == "collection" and a["name"] == "Count" and a["type"] == "I32":
                node.count = cname + "_get"  # len() of the mapping
                continue
            member = cat.property_member(iface, a["name"]) if iface else None
            enum = member.get("type") if member and member.get("type") in cat.enums else None
            if enum and enum not in used_enums:
                used_enums.append(enum)
            if name in node.attrs:
                # The class interface and the driver's both declare it: the driver's takes the
                # lead its IVI-C constant takes (KORVANE_ATTR_DRIVER_TRIGGER_TYPE).
                name = "driver_" + name
                if name in node.attrs:
                    raise GenError(f"gen_python: {iface}.{a['name']}: a third attribute of that name")
            if name in node.children:
                raise GenError(f"gen_python: {iface}.{a['name']} is also a node under {'.'.join(node.path)}")
            ends = {"R": "_get", "W": "_set", "RW": "_get / _set"}[a["access"]]
            doc = attribute_doc(cat, iface, a, member, enum) + f"\nC: {cname}{ends}."
            node.attrs[name] = (a, enum, doc, cname)

    for f in cat.functions:
        if f["name"] in NO_FLAT_FUNCTION:
            continue
        rc = f.get("repcap")
        if rc:
            node = collections[rc].item
        else:
            node = root
        method, layout = function_layout(f, cat, rc, flat, flat_function(f))
        for e in layout["enums"]:
            full = next(n for n in cat.enums if enum_class_name(n) == e)
            if full not in used_enums:
                used_enums.append(full)
        if method in node.attrs or method in node.children or method in node.funcs:
            method = snake(f["name"][len("Korvane_"):])
            if method in node.attrs or method in node.children or method in node.funcs:
                raise GenError(f"gen_python: method {method} of {f['name']} clashes under {'.'.join(node.path) or 'root'}")
        node.funcs[method] = layout
    root.attributes = attributes
    return root, collections, used_enums


# ---------------------------------------------------------------------------------------------
# Item names. The driver names the items of each repeated capability as below (one run of
# numbered names per row); the largest model of models.toml gives how many of each exist at most.
# A name enumeration lists them all, so a member a smaller model lacks raises KeyError there.

ITEM_NAMES = {
    "Channel": [("Channel", 1, "model", "analog")],
    "Measurement": [("Channel", 1, "model", "analog")],  # one per analog channel, named like it
    "DigitalChannel": [("DigitalChannel", 0, "model", "digital"), ("DigitalPod", 1, "family", "digital_pod_names")],
    "MathFunction": [("Math", 1, "family", "math_functions")],
    "WaveGen": [("WaveGen", 1, "family", "wave_generators")],
    "SerialBus": [("SerialBus", 1, "family", "serial_buses")],
}


def item_names(cat, rc):
    if rc not in ITEM_NAMES:
        raise GenError(f"gen_python: repeated capability {rc} has no row in ITEM_NAMES (how its items are named)")
    names = []
    for prefix, first, table, key in ITEM_NAMES[rc]:
        most = max(row[key] for row in cat.models[table])
        names += [f"{prefix}{k}" for k in range(first, first + most)]
    return names


# ---------------------------------------------------------------------------------------------
# Output.

PY_SET = {"I32": "int", "I64": "int", "R64": "float", "B": "bool", "S": "str"}
C_PY = {"ViInt16": "int", "ViInt32": "int", "ViInt64": "int", "ViReal64": "float", "ViBoolean": "bool",
        "ViConstString": "str", "ViChar": "str"}
ARRAY_DTYPE = {"ViReal64": "numpy.float64", "ViInt16": "numpy.int16", "ViInt32": "numpy.int32", "ViByte": "numpy.uint8"}


def class_name(node: Node) -> str:
    if node.kind == "collection":
        return f"{node.repcap}Collection"
    if node.kind == "item" and len(node.path) and node.path[-1] == "[]":
        return f"{node.repcap}Item"
    parts = [p.replace("[]", "Item") for p in node.path]
    return "_" + "_".join("".join(w.capitalize() for w in p.split("_")) for p in parts) if parts else "_Root"


def names_enum(rc: str) -> str:
    return f"{rc}Name"


def accessors(node: Node):
    """The `<plural>_item(key)` methods of a node: one per collection below it."""
    return {f"{name}_item": c for name, c in node.children.items() if c.kind == "collection"}


def check_names(node: Node):
    for name in accessors(node):
        if name in node.attrs or name in node.funcs or name in node.children:
            raise GenError(f"gen_python: {name} under {'.'.join(node.path) or 'the root'} clashes with an item accessor")


def in_order(root: Node):
    """Every class to write, the ones a class refers to before it (the module and the stub)."""
    def visit(node):
        for c in node.children.values():
            yield from visit(c)
        if node.kind == "collection":
            yield from visit(node.item)
        yield node
    return list(visit(root))


def emit(root: Node, collections, used_enums, cat) -> str:
    out = ['"""The object model of the korvane package, generated from catalog/ by',
           'tools/codegen/gen_python.py; do not edit. Its types are in _generated.pyi."""',
           "# flake8: noqa",
           "from enum import Enum, IntEnum",
           "",
           "from ._runtime import Collection, Item, Node, attribute as _a, child as _c, function as _f, "
           "item_accessor as _ia",
           "",
           "__all__ = ["]
    names = public_names(collections, used_enums)
    out.append("".join(f"    {n!r},\n" for n in names) + "]")
    out.append("")
    for e in used_enums:
        out.append(f"class {enum_class_name(e)}(IntEnum):")
        out.append(f'    """{e} of the catalogue."""')
        for n, v in enum_members(cat, e):
            out.append(f"    {n} = {v}")
        out.append("")
    for rc in collections:
        out.append(f"class {names_enum(rc)}(str, Enum):")
        out.append(f'    """The names of the {rc} items, as the largest model has them (a collection takes a member)."""')
        for n in item_names(cat, rc):
            out.append(f"    {member_name(n)} = {n!r}")
        out.append("")
    out.append("")

    for node in in_order(root):
        check_names(node)
        base = {"collection": "Collection", "item": "Item"}.get(node.kind, "Node")
        out.append(f"class {class_name(node)}({base}):")
        out.append(f'    """{node_doc(node)}"""')
        out.append("    __slots__ = ()")
        if node.kind == "collection":
            out.append(f"    _item = {class_name(node.item)}")
            out.append(f"    _count_function = {node.count!r}")
            out.append(f"    _name_function = {node.name_function!r}")
        for name, c in node.children.items():
            out.append(f"    {name} = _c({class_name(c)})")
        for name, c in accessors(node).items():
            out.append(f"    {name} = _ia({name[:-5]!r}, {accessor_doc(name, c)!r})")
        for name, (a, enum, doc, cname) in node.attrs.items():
            e = enum_class_name(enum) if enum else "None"
            out.append(f"    {name} = _a({cname!r}, {a['type']!r}, {a['access']!r}, {e}, {doc!r}, "
                       f"{'[]' in node.path})")
        for name, layout in node.funcs.items():
            out.append(f"    {name} = _f({layout['c']!r}, {layout['flat']!r}, {layout['waveform']}, {layout['doc']!r}, "
                       f"{layout['parameters']!r})")
        out.append("")
        out.append("")

    out.append(f"Root = {class_name(root)}")
    out.append(f"ENUMS = {{{', '.join(f'{n!r}: {n}' for n in names)}}}")
    # The runtime's own calls name their attributes by constant, never by number; get_attribute
    # takes the number.
    out.append("ATTRIBUTES = {")
    out.extend(f"    {k!r}: {v!r}," for k, v in root.attributes.items())
    out.append("}")
    return "\n".join(out) + "\n"


def public_names(collections, used_enums):
    names = [enum_class_name(e) for e in used_enums] + [names_enum(rc) for rc in collections]
    names += [f"{rc}Collection" for rc in collections] + [f"{rc}Item" for rc in collections]
    if len(set(names)) != len(names):
        raise GenError("gen_python: two enumerations or classes share a name")
    return names


def enum_members(cat, e):
    seen = set()
    for w, v in cat.enums[e]:
        n = member_name(w)
        if n in seen:
            raise GenError(f"gen_python: {e}: two members are named {n}")
        seen.add(n)
        yield n, v


def node_doc(node: Node) -> str:
    where = "scope" + "".join(f".{p}" if p != "[]" else "[name]" for p in node.path)
    return where + (f" ({', '.join(node.interfaces)})" if node.interfaces else "")


def accessor_doc(name, c):
    return (f"The item of {name[:-5]} with this key, as `{name[:-5]}[key]` gives it.\n\nArgs:\n"
            f"    key: A name (\"{ITEM_NAMES[c.repcap][0][0]}{ITEM_NAMES[c.repcap][0][1]}\"), a {names_enum(c.repcap)} "
            f"member, or the number in the name.\n\nRaises:\n    KeyError: No item has this key on this instrument.")


# ---- the stub: the same classes with the types mypy checks a client against


def enum_type(enum):
    return enum_class_name(enum) if enum else None


def getter_type(a, enum):
    return enum_type(enum) or PY_TYPE[a["type"]]


def setter_type(a, enum):
    return f"{enum_type(enum)} | int | str" if enum else PY_SET[a["type"]]


def param_type(row, kind):
    if row is None:  # out=
        return None
    role, ctype, _, enum, _ = row
    if role == "count":
        return "int | None" if kind == "optional" else "int"
    if role in ("ain", "fill"):
        return "npt.ArrayLike"
    if enum:
        return f"{enum} | int | str"
    return C_PY[ctype]


def result_type(layout_entry, returns_name):
    layout, waveform = layout_entry["layout"], layout_entry["waveform"]
    outs = [r for r in layout if r[0] in ("out", "sout", "sfix", "aout", "fill")]
    if waveform:
        n = sum(1 for r in layout if r[0] == "aout")
        return "Waveform" if n == 1 else "tuple[" + ", ".join(["Waveform"] * n) + "]", None
    types = []
    for role, ctype, name, enum, _ in outs:
        if role in ("aout", "fill"):
            types.append((name, f"npt.NDArray[{ARRAY_DTYPE[ctype]}]"))
        elif role in ("sout", "sfix"):
            types.append((name, "str"))
        else:
            types.append((name, enum or C_PY[ctype]))
    if not types:
        return "None", None
    if len(types) == 1:
        return types[0][1], None
    return returns_name, types


def emit_stub(root: Node, collections, used_enums, cat) -> str:
    out = ['"""Types of the generated object model (tools/codegen/gen_python.py); do not edit."""',
           "from enum import Enum, IntEnum",
           "from typing import Any, Callable, Coroutine, NamedTuple",
           "",
           "import numpy",
           "import numpy.typing as npt",
           "",
           "from ._runtime import Collection, Item, Node, Waveform",
           "",
           f"__all__ = {public_names(collections, used_enums)!r}",
           ""]
    for e in used_enums:
        out.append(f"class {enum_class_name(e)}(IntEnum):")
        out.extend(f"    {n} = {v}" for n, v in enum_members(cat, e))
        out.append("")
    for rc in collections:
        out.append(f"class {names_enum(rc)}(str, Enum):")
        out.extend(f"    {member_name(n)} = {n!r}" for n in item_names(cat, rc))
        out.append("")

    for node in in_order(root):
        cls = class_name(node)
        results = []
        body = []
        for name, c in node.children.items():
            body += ["    @property", f"    def {name}(self) -> {class_name(c)}: ..."]
        for name, c in accessors(node).items():
            body.append(f"    def {name}(self, key: str | int | Enum) -> {class_name(c.item)}: ...")
        for name, (a, enum, _, _) in node.attrs.items():
            if a["access"] == "W":
                body.append(f"    {name}: {setter_type(a, enum)}")
                continue
            body += ["    @property", f"    def {name}(self) -> {getter_type(a, enum)}: ..."]
            if "W" in a["access"]:
                body += [f"    @{name}.setter", f"    def {name}(self, value: {setter_type(a, enum)}) -> None: ..."]
        for name, entry in node.funcs.items():
            rows = {r[2]: r for r in entry["layout"]}
            args = ["self"]
            keyword = False
            for pname, kind, _ in entry["parameters"]:
                if kind == "keyword" and not keyword:
                    args.append("*")
                    keyword = True
                t = param_type(rows.get(pname), kind)
                if t is None:  # out=
                    t = f"npt.NDArray[{ARRAY_DTYPE[next(r[1] for r in entry['layout'] if r[0] == 'aout')]}] | None"
                args.append(f"{pname}: {t}" + (" = ..." if kind != "required" else ""))
            tuple_name = f"_{cls.lstrip('_')}_{name}_result"
            rtype, fields = result_type(entry, tuple_name)
            if fields:
                results.append((tuple_name, fields))
            body.append(f"    def {name}({', '.join(args)}) -> {rtype}: ...")
            if name == "read_waveform":  # its asyncio form (python/korvane/_events.py)
                body.append(f"    def {name}_async({', '.join(args)}) -> Coroutine[Any, Any, {rtype}]: ...")
        if node is root and "system_wait_for_operation_complete" in node.funcs:
            body.append("    def wait_for_acquisition_complete_async(self, max_time_milliseconds: int = ...)"
                        " -> Coroutine[Any, Any, None]: ...")
            body.append("    def on_service_request(self, callback: Callable[[int], None] | None) -> None: ...")
        for tuple_name, fields in results:
            out.append(f"class {tuple_name}(NamedTuple):")
            out.extend(f"    {n}: {t}" for n, t in fields)
            out.append("")
        base = {"collection": f"Collection[{class_name(node.item)}]" if node.kind == "collection" else "",
                "item": "Item"}.get(node.kind, "Node")
        out.append(f"class {cls}({base}):")
        out.extend(body or ["    ..."])
        out.append("")

    out.append(f"Root = {class_name(root)}")
    out.append("ENUMS: dict[str, type[Enum]]")
    out.append("ATTRIBUTES: dict[str, tuple[int, str, str, bool]]")
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    try:
        cat = Catalog(Path(argv[0]))
        root, collections, used = build(cat)
        text = emit(root, collections, used, cat)
        stub = emit_stub(root, collections, used, cat)
    except (GenError, OSError, KeyError, tomllib.TOMLDecodeError) as e:
        print(f"gen_python: {e}", file=sys.stderr)
        return 1
    path = Path(argv[1])
    path.parent.mkdir(parents=True, exist_ok=True)
    for target, content in ((path, text), (path.with_suffix(".pyi"), stub)):
        if not target.exists() or target.read_text(encoding="utf-8") != content:
            target.write_text(content, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
