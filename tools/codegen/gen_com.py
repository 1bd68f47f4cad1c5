#!/usr/bin/env python3
"""Generate the COM header of the object model from the catalogue.

Usage: gen_com.py <catalog dir> <output dir> [--models models.toml] [--report] [--strict]

Writes <output dir>/korvane/KorvaneCom.h: enumerations, GUIDs and the COM-ABI interface structs,
in the conventions of a MIDL-generated header. An interface is declared only once all its
entries are in the catalogue (a partial vtable would be a wrong ABI); the others are reported.
--report prints the coverage summary; --strict makes an incomplete interface an error.
Exit status 1 on any catalogue error, each printed as <file>:<line>: <rule>: <message>.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korvane_catalog as kc  # noqa: E402

CXX_SCALAR = {"long": "LONG", "short": "SHORT", "int64": "LONGLONG", "double": "DOUBLE",
              "BSTR": "BSTR", "VARIANT_BOOL": "VARIANT_BOOL", "VARIANT": "VARIANT"}


def cxx_type(cat, p: kc.Param) -> str:
    t = p.type
    by_ref = p.dir != "in"
    if kc.ARRAY_RE.match(t):
        base = "SAFEARRAY*"
    elif t in cat.interfaces or t in cat.externals:
        base = f"{t}*"
    elif t in cat.enums:
        base = t
    else:
        base = CXX_SCALAR[t]
    return base + ("*" if by_ref else "")


def guid_init(text: str) -> str:
    d1, d2, d3, rest = kc.guid_parts(text)
    tail = ", ".join(f"0x{b:02X}" for b in rest)
    return f"{{0x{d1:08X}, 0x{d2:04X}, 0x{d3:04X}, {{{tail}}}}}"


def enum_value(v: int) -> str:
    # HRESULT-valued members are written in hex; the enum stays 32-bit signed like MIDL's v1_enum.
    return f"static_cast<int>(0x{v:08X})" if v > 0x7FFFFFFF else str(v)


def emitted(cat):
    """Interfaces whose whole vtable is known: complete, and so is every base."""
    ok = {}

    def check(iface):
        if iface.name not in ok:
            ok[iface.name] = iface.complete and (iface.base == "IUnknown" or check(cat.interfaces[iface.base]))
        return ok[iface.name]

    return [i for i in list(cat.ivi_interfaces) + cat.driver_interfaces if check(i)]


def header(cat) -> str:
    lib = cat.library
    out = [
        "// Generated from catalog/*.toml by tools/codegen/gen_com.py; do not edit.",
        f"// {lib['helpstring']}",
        "#pragma once",
        "",
        "#include <korvane/KorvanePlatform.h>",
        "",
    ]
    out.append("// ---- Enumerations ----")
    for e in cat.enums.values():
        out.append(f"enum {e.name} {{")
        for m in e.members:
            out.append(f"  {e.member_name(m.word)} = {enum_value(m.value)},")
        out.append("};")
    out.append("")
    out.append("// ---- Library, class and interface identifiers ----")
    out.append(f"inline constexpr GUID LIBID_{lib['name']} = {guid_init(lib['libid'])};")
    for c in cat.coclasses.values():
        out.append(f"inline constexpr CLSID CLSID_{c.name} = {guid_init(c.clsid)};")
    for i in list(cat.ivi_interfaces) + cat.driver_interfaces:
        out.append(f"inline constexpr IID IID_{i.name} = {guid_init(i.iid)};")
    out.append("")

    done = emitted(cat)
    out.append("// ---- Interfaces ----")
    out.append("// Declared only when every entry is known; see the catalogue's coverage report.")
    for x in cat.externals.values():
        out.append(f"struct {x.name};  // {x.library}")
    for i in list(cat.ivi_interfaces) + cat.driver_interfaces:
        out.append(f"struct {i.name};")
    for i in done:
        base = "IUnknown" if i.base == "IUnknown" else i.base
        out.append("")
        out.append(f"struct {i.name} : public {base} {{")
        for m in i.members:
            args = ", ".join(f"{cxx_type(cat, p)} {p.name}" for p in m.params)
            out.append(f"  virtual HRESULT STDMETHODCALLTYPE {m.entry_name}({args}) = 0;")
        out.append("};")
    out.append("")
    return "\n".join(out)


def coverage(cat) -> str:
    drv = cat.driver_interfaces
    lines = []
    kinds = {"get": 0, "put": 0, "method": 0}
    for i in drv:
        for m in i.members:
            kinds[m.kind] += 1
    declared = sum(i.entries for i in drv)
    entered = sum(i.entered for i in drv)
    complete = [i for i in drv if i.complete]
    behaviour = sum(1 for i in drv for m in i.members if m.impl != "unimplemented")
    rules = {r: sum(1 for e in cat.driver_enums if e.rule == r) for r in kc.ENUM_RULES}
    lines.append(f"interfaces: {len(drv)} driver ({sum(1 for i in drv if i.base == 'IUnknown')} from IUnknown, "
                 f"{sum(1 for i in drv if i.base != 'IUnknown')} extending), {len(cat.ivi_interfaces)} IVI")
    lines.append(f"enumerations: {len(cat.driver_enums)} driver ({rules['zero']} from 0, {rules['one']} from 1, "
                 f"{rules['explicit']} explicit)")
    lines.append(f"entries: {entered} of {declared} entered ({kinds['get']} get, {kinds['put']} put, "
                 f"{kinds['method']} method); {behaviour} with behaviour")
    lines.append(f"complete interfaces: {len(complete)} of {len(drv)}")
    for i in drv:
        if not i.complete:
            lines.append(f"  {i.name}: {i.entered} of {i.entries}")
    return "\n".join(lines)


def write_if_changed(path: Path, text: str):
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.exists() and path.read_text(encoding="utf-8") == text:
        path.touch()  # keep the build's output newer than its inputs
        return
    path.write_text(text, encoding="utf-8")


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("catalog")
    ap.add_argument("out", nargs="?")
    ap.add_argument("--models")
    ap.add_argument("--report", action="store_true")
    ap.add_argument("--strict", action="store_true")
    a = ap.parse_args(argv)
    try:
        cat = kc.load(a.catalog, a.models)
    except kc.CatalogError as e:
        for line in e.errors:
            print(line, file=sys.stderr)
        return 1
    if a.strict:
        missing = [i for i in cat.driver_interfaces + cat.ivi_interfaces if not i.complete]
        for i in missing:
            print(f"{i.where}: entry-count: {i.name} declares {i.entries} entries but {i.entered} are entered",
                  file=sys.stderr)
        if missing:
            return 1
    if a.out:
        out = Path(a.out)
        write_if_changed(out / "korvane" / "KorvaneCom.h", header(cat))
        write_if_changed(out / "korvane" / "catalog-coverage.txt", coverage(cat) + "\n")
    if a.report:
        print(coverage(cat))
    return 0


if __name__ == "__main__":
    sys.exit(main())
