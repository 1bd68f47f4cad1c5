"""The property-path table, generated from the object-model catalogue.

A property is reached by its path from the root object, for example
`Channels.Item(Channel1).Offset`: the configuration store's initial settings and the tool's
`korvane get|set <resource> <path>` name properties this way. This generator walks the
catalogue from the root's newest interface through the navigation getters and the collections'
Item getters and writes, for every interface reached, its navigable members and its scalar
properties. Each entry names the interface's own vtable entry (`&IKorvaneChannel::get_Offset`);
the table's templates turn that into a call, so nothing about a member is written by hand.

Usage: gen_property_table.py <catalog dir> <output .inc> [--root IKorvane8] [--enum <name>]...
Standard library only.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korvane_catalog as kc  # noqa: E402
from codegen_common import write_if_changed  # noqa: E402

# Catalogue type -> value kind of the path table (src/com/PropertyTable.h).
SCALAR_KINDS = {"long": "Long", "short": "Short", "int64": "Int64", "double": "Double", "BSTR": "String",
                "VARIANT_BOOL": "Bool"}


def value_kind(cat, t):
    if t in SCALAR_KINDS:
        return SCALAR_KINDS[t]
    if t in cat.enums:
        return "Enum"
    return None


def is_property(cat, m):
    """A get or put whose only parameter is the value, of a type the tool can print and parse."""
    if m.kind not in ("get", "put") or len(m.params) != 1 or value_kind(cat, m.type) is None:
        return False
    return m.params[0].dir == ("retval" if m.kind == "get" else "in")


def is_navigation(cat, m):
    return (m.kind == "get" and m.name != "Item" and len(m.params) == 1 and m.params[0].dir == "retval"
            and m.type in cat.interfaces)


def is_item(cat, m):
    return (m.kind == "get" and m.name == "Item" and len(m.params) == 2 and m.params[0].type == "BSTR"
            and m.params[0].dir == "in" and m.type in cat.interfaces)


def has_names(cat, iface):
    """A collection: Count and Name(Index) getters, so the tool can list what Item accepts."""
    count = any(m.kind == "get" and m.name == "Count" and m.type == "long" and len(m.params) == 1 for m in iface.members)
    name = any(m.kind == "get" and m.name == "Name" and m.type == "BSTR" and len(m.params) == 2
               and m.params[0].type == "long" for m in iface.members)
    return count and name


def signature(m):
    """A method's parameters as a person reads them: "(long MaxTime, [in,out] SAFEARRAY(double) Data)"."""
    parts = []
    for p in m.params:
        tag = {"in": "", "inout": "[in,out] ", "out": "[out] ", "retval": "[out] "}.get(p.dir, "")
        parts.append(f"{tag}{p.type} {p.name}")
    return "(" + ", ".join(parts) + ")"


def reachable(cat, root):
    """Interfaces reached from root, in discovery order; an interface brings its bases along."""
    order, seen = [], set()
    todo = [root]
    while todo:
        name = todo.pop(0)
        if name in seen or name not in cat.interfaces or name == "IUnknown":
            continue
        seen.add(name)
        order.append(name)
        iface = cat.interfaces[name]
        if iface.base and iface.base != "IUnknown":
            todo.append(iface.base)
        for m in iface.members:
            if is_navigation(cat, m) or is_item(cat, m):
                todo.append(m.type)
    return order


def generate(cat, root, extra_enums=()) -> str:
    names = reachable(cat, root)
    index = {n: k for k, n in enumerate(names)}
    enums: list[str] = list(extra_enums)
    out = ["// Generated from catalog/*.toml by tools/codegen/gen_property_table.py; do not edit.",
           f"// {len(names)} interfaces reached from {root}.", ""]
    rows: dict[str, list[str]] = {}
    for n in names:
        iface = cat.interfaces[n]
        # A property is one row whatever its access; get and put meet in it.
        props: dict[str, dict] = {}
        lines = []
        for m in iface.members:
            if is_navigation(cat, m) or is_item(cat, m):
                kind = "Item" if is_item(cat, m) else "Navigation"
                lines.append(f'  {{"{m.name}", MemberKind::{kind}, ValueKind::None, -1, nullptr, nullptr, '
                             f'{"&Nav" if kind == "Navigation" else "nullptr"}'
                             f'{f"<&{n}::get_{m.name}>" if kind == "Navigation" else ""}, '
                             f'{"&Item" if kind == "Item" else "nullptr"}'
                             f'{f"<&{n}::get_{m.name}>" if kind == "Item" else ""}, {index[m.type]}, nullptr}},')
            elif is_property(cat, m):
                p = props.get(m.name)
                if p is None:
                    p = props[m.name] = {"type": m.type, "get": None, "put": None}
                    lines.append(p)
                p[m.kind] = f"&{m.kind.capitalize()}<&{n}::{m.kind}_{m.name}>"
            elif m.kind == "method":
                lines.append(f'  {{"{m.name}", MemberKind::Method, ValueKind::None, -1, nullptr, nullptr, nullptr, '
                             f'nullptr, -1, "{signature(m)}"}},')
        text = []
        for entry in lines:
            if isinstance(entry, str):
                text.append(entry)
                continue
            t = entry["type"]
            vk = value_kind(cat, t)
            e = -1
            if vk == "Enum":
                if t not in enums:
                    enums.append(t)
                e = enums.index(t)
            name = next(k for k, v in props.items() if v is entry)
            text.append(f'  {{"{name}", MemberKind::Property, ValueKind::{vk}, {e}, {entry["get"] or "nullptr"}, '
                        f'{entry["put"] or "nullptr"}, nullptr, nullptr, -1, nullptr}},')
        rows[n] = text

    for k, t in enumerate(enums):
        e = cat.enums[t]
        words = ", ".join(f'{{"{m.word}", {m.value}}}' for m in e.members)
        out.append(f"inline constexpr EnumWord kEnum{k}[] = {{{words}}};")
    out.append("inline constexpr EnumInfo kEnums[] = {")
    for k, t in enumerate(enums):
        out.append(f'  {{"{t}", kEnum{k}, std::size(kEnum{k})}},')
    out.append("};")
    out.append("")
    for n in names:
        if rows[n]:
            out.append(f"inline const MemberInfo kMembers_{n}[] = {{")
            out.extend(rows[n])
            out.append("};")
    out.append("")
    out.append("inline const InterfaceInfo kInterfaces[] = {")
    for n in names:
        base = cat.interfaces[n].base
        b = index.get(base, -1)
        members = f"kMembers_{n}, std::size(kMembers_{n})" if rows[n] else "nullptr, 0"
        names_fn = (f"&Names<&{n}::get_Count, &{n}::get_Name>" if has_names(cat, cat.interfaces[n]) else "nullptr")
        out.append(f'  {{"{n}", {b}, {members}, {names_fn}}},')
    out.append("};")
    out.append("")
    return "\n".join(out)


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("catalog")
    ap.add_argument("out")
    ap.add_argument("--root", default="IKorvane8")
    ap.add_argument("--enum", action="append", default=[],
                    help="an enumeration the tool's own commands name (also when no property has it)")
    a = ap.parse_args(argv)
    try:
        cat = kc.load(a.catalog)
    except kc.CatalogError as e:
        for line in e.errors:
            print(line, file=sys.stderr)
        return 1
    if a.root not in cat.interfaces:
        print(f"gen_property_table: unknown root interface {a.root}", file=sys.stderr)
        return 1
    unknown = [e for e in a.enum if e not in cat.enums]
    if unknown:
        print(f"gen_property_table: unknown enumeration {', '.join(unknown)}", file=sys.stderr)
        return 1
    text = generate(cat, a.root, a.enum)
    write_if_changed(Path(a.out), text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
