#!/usr/bin/env python3
"""Generate the type library sources (Korvane.idl, IviDriver.idl, IviScope.idl) from the catalogue.

Usage: gen_idl.py <catalog dir> <output dir> [--models models.toml]

Korvane.idl holds the driver's own enumerations, interfaces (members in vtable order) and the
coclasses, and imports the IviDriver and IviScope libraries for the IVI interfaces and
enumerations. Those two are generated as well, from the IVI tables of the catalogue with their
published IIDs, for machines without the IVI shared components. Interfaces of other libraries
that a member hands out (the catalogue's externals) are declared as IUnknown in the library,
since their definitions are not at hand; the C++ header keeps their real type.
Exit status 1 on any catalogue error, each printed as <file>:<line>: <rule>: <message>.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korvane_catalog as kc  # noqa: E402
from codegen_common import write_if_changed  # noqa: E402

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


def interfaces_in_order(cat, interfaces):
    """The given interfaces, each after its base when the base is among them."""
    order, seen = [], set()
    names = {i.name for i in interfaces}

    def visit(i):
        if i.name in seen:
            return
        if i.base in names:
            visit(cat.interfaces[i.base])
        seen.add(i.name)
        order.append(i)

    for i in interfaces:
        visit(i)
    return order


def definitions(cat, enums, interfaces, indent="    ") -> list:
    """Forward declarations, enumerations and interfaces, in IDL."""
    out = []
    order = interfaces_in_order(cat, interfaces)
    for i in order:
        out.append(f"interface {i.name};")
    out.append("")
    for e in enums:
        out.append(f"typedef [v1_enum] enum {e.name} {{")
        body = [f"    {e.member_name(m.word)} = {enum_value(m.value)}" for m in e.members]
        out.append(",\n".join(body))
        out.append(f"}} {e.name};")
        out.append("")
    for i in order:
        out += ["[", "    object,", f"    uuid({i.iid}),", "    oleautomation", "]",
                f"interface {i.name} : {i.base}", "{"]
        out += [member(cat, m)[4:] for m in i.members]
        out += ["};", ""]
    return [indent + line if line else line for line in "\n".join(out).split("\n")]


HEADER = ["// Generated from catalog/*.toml by tools/codegen/gen_idl.py; do not edit.", "",
          'import "oaidl.idl";', 'import "ocidl.idl";']


def types_file(cat, t) -> str:
    """The definitions of an imported library outside any library block, for its importers."""
    out = HEADER + [f'import "{cat.typelibs[n].file}Types.idl";' for n in t.imports] + [""]
    out += definitions(cat, [e for e in cat.enums.values() if e.imported and e.library == t.name],
                       [i for i in cat.ivi_interfaces if i.library == t.name], indent="")
    return "\n".join(out) + "\n"


def library(cat, name, libid, version, lcid, helpstring, imports, enums, interfaces, coclasses) -> str:
    major, _, minor = str(version).partition(".")
    # An imported library's types are known to the compiler from its Types.idl and referred
    # to in the binary library through importlib.
    out = HEADER + [f'import "{cat.typelibs[n].file}Types.idl";' for n in imports] + [
        "",
        "[",
        f"    uuid({libid}),",
        f"    version({int(major)}.{int(minor or 0)}),",
        f"    lcid({int(lcid)}),",
        f'    helpstring("{helpstring}")',
        "]",
        f"library {name}",
        "{",
        '    importlib("stdole2.tlb");',
    ]
    out += [f'    importlib("{cat.typelibs[n].file}.tlb");' for n in imports]
    out.append("")
    out += definitions(cat, enums, interfaces)
    for c in coclasses:
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


def libraries(cat) -> dict:
    """File stem -> IDL text: each imported IVI library, then the driver's own, which imports them
    and so describes only its own enumerations, interfaces and coclasses."""
    out = {}
    for t in cat.typelibs.values():
        out[t.file + "Types"] = types_file(cat, t)
        out[t.file] = library(cat, t.name, t.libid, t.version, 0, t.helpstring, t.imports,
                              [e for e in cat.enums.values() if e.imported and e.library == t.name],
                              [i for i in cat.ivi_interfaces if i.library == t.name], [])
    lib = cat.library
    out["Korvane"] = library(cat, lib["name"], lib["libid"], lib["version"], lib["lcid"], lib["helpstring"],
                             list(cat.typelibs), cat.driver_enums, cat.driver_interfaces,
                             list(cat.coclasses.values()))
    return out




def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("catalog")
    ap.add_argument("outdir", help="directory of the IDL files (<stem>.idl per library)")
    ap.add_argument("--models")
    a = ap.parse_args(argv)
    try:
        cat = kc.load(a.catalog, a.models)
        texts = libraries(cat)
    except kc.CatalogError as e:
        for line in e.errors:
            print(line, file=sys.stderr)
        return 1
    for stem, text in texts.items():
        write_if_changed(Path(a.outdir) / f"{stem}.idl", text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
