#!/usr/bin/env python3
"""Generate the type library source (Korvane.idl) from the catalogue.

Usage: gen_idl.py <catalog dir> <output file> [--models models.toml]

The library holds every enumeration, every interface (the IVI interfaces the driver implements
with their published IIDs, then the driver's own, each with its members in vtable order) and
the coclasses. The IVI interfaces and enumerations are declared here rather than imported,
since their type libraries are not part of the build. Interfaces of other libraries that a
member hands out (the catalogue's externals) are declared as IUnknown in the library, since
their definitions are not at hand either; the C++ header keeps their real type.
Exit status 1 on any catalogue error, each printed as <file>:<line>: <rule>: <message>.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korvane_catalog as kc  # noqa: E402

IDL_SCALAR = {"long": "long", "short": "short", "int64": "__int64", "double": "double",
              "BSTR": "BSTR", "VARIANT_BOOL": "VARIANT_BOOL", "VARIANT": "VARIANT"}
IDL_DIR = {"in": "[in]", "out": "[out]", "inout": "[in, out]", "retval": "[out, retval]"}


def idl_type(cat, p: kc.Param) -> str:
    t = p.type
    arr = kc.ARRAY_RE.match(t)
    if arr:
        base = f"SAFEARRAY({arr.group(1)})"
    elif t in cat.interfaces:
        base = f"{t}*"
    elif t in cat.externals:
        base = "IUnknown*"
    elif t in cat.enums:
        base = t
    else:
        base = IDL_SCALAR[t]
    return base + ("" if p.dir == "in" else "*")


def enum_value(v: int) -> str:
    # Enumerations are 32-bit signed; HRESULT-valued members wrap to their negative value.
    return str(v - 2**32 if v > 0x7FFFFFFF else v)


def member(cat, m: kc.Member) -> str:
    attrs = {"get": "[propget] ", "put": "[propput] "}.get(m.kind, "")
    args = ", ".join(f"{IDL_DIR[p.dir]} {idl_type(cat, p)} {p.name}" for p in m.params)
    return f"        {attrs}HRESULT {m.name}({args});"


def interfaces_in_order(cat):
    """IVI interfaces then driver interfaces, each after its base."""
    order, seen = [], set()

    def visit(i):
        if i.name in seen:
            return
        if i.base != "IUnknown":
            visit(cat.interfaces[i.base])
        seen.add(i.name)
        order.append(i)

    for i in list(cat.ivi_interfaces) + cat.driver_interfaces:
        visit(i)
    return order


def idl(cat) -> str:
    lib = cat.library
    major, _, minor = str(lib["version"]).partition(".")
    out = [
        "// Generated from catalog/*.toml by tools/codegen/gen_idl.py; do not edit.",
        "",
        'import "oaidl.idl";',
        'import "ocidl.idl";',
        "",
        "[",
        f"    uuid({lib['libid']}),",
        f"    version({int(major)}.{int(minor or 0)}),",
        f"    lcid({int(lib['lcid'])}),",
        f'    helpstring("{lib["helpstring"]}")',
        "]",
        f"library {lib['name']}",
        "{",
        '    importlib("stdole2.tlb");',
        "",
    ]
    order = interfaces_in_order(cat)
    for i in order:
        out.append(f"    interface {i.name};")
    out.append("")
    for e in cat.enums.values():
        out.append(f"    typedef [v1_enum] enum {e.name} {{")
        body = [f"        {e.member_name(m.word)} = {enum_value(m.value)}" for m in e.members]
        out.append(",\n".join(body))
        out.append(f"    }} {e.name};")
        out.append("")
    for i in order:
        if not i.complete:
            raise kc.CatalogError([f"{i.where}: incomplete-interface: {i.name} has {i.entered} of "
                                   f"{i.entries} entries; the type library needs every one"])
        out += [
            "    [",
            "        object,",
            f"        uuid({i.iid}),",
            "        oleautomation",
            "    ]",
            f"    interface {i.name} : {i.base}",
            "    {",
        ]
        out += [member(cat, m) for m in i.members]
        out += ["    };", ""]
    for c in cat.coclasses.values():
        out += [
            "    [",
            f"        uuid({c.clsid})",
            "    ]",
            f"    coclass {c.name}",
            "    {",
            f"        [default] interface {c.default};",
        ]
        out += [f"        interface {n};" for n in c.interfaces if n != c.default]
        out += ["    };", ""]
    out.append("}")
    out.append("")
    return "\n".join(out)


def write_if_changed(path: Path, text: str):
    if path.exists() and path.read_text(encoding="utf-8") == text:
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("catalog")
    ap.add_argument("output")
    ap.add_argument("--models")
    a = ap.parse_args(argv)
    try:
        cat = kc.load(a.catalog, a.models)
        text = idl(cat)
    except kc.CatalogError as e:
        for line in e.errors:
            print(line, file=sys.stderr)
        return 1
    write_if_changed(Path(a.output), text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
