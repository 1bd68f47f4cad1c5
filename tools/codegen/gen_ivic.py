#!/usr/bin/env python3
"""Generate the IVI-C layer from catalog/attributes.toml and catalog/functions.toml.

Usage: gen_ivic.py <catalog dir> <output dir> [--units N]

Writes below <output dir>:
  Korvane.h                   the public header: tools/codegen/Korvane.h.in with the attribute
                              identifiers, the enumeration values and the operation prototypes
  com/Korvane.def             the DLL's exports (session functions, accessors, operations)
  ivic/exports.txt            the exported Korvane_ names, one a line (tests read it)
  ivic/ExportsCheck.c         takes the address of every export through the header
  ivic/IviCFunctions<k>.c++   the operation functions, one family template instantiated per row
  ivic/IviCAttributes<k>.cpp  the attribute rows (getter and setter instantiations)
  ivic/IviCAttributeParts.cpp the list of attribute row blocks

The shapes themselves are hand-written in src/ivic/Families.h; the few functions whose bodies
differ from every family (HAND_WRITTEN) live in src/ivic/ByteIo.cpp.
"""
from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import ivic_tables as it  # noqa: E402
import gen_ansic  # noqa: E402
import korvane_catalog as kc  # noqa: E402
from codegen_common import cxx_string as c_string, write_if_changed  # noqa: E402

# The 64-bit byte transfers clamp and count differently from the array families.
HAND_WRITTEN = {"Korvane_viRead", "Korvane_viWrite"}

SESSION_FUNCTIONS = [
    "Korvane_init", "Korvane_InitWithOptions", "Korvane_close", "Korvane_GetError", "Korvane_ClearError",
    "Korvane_LockSession", "Korvane_UnlockSession", "Korvane_error_message", "Korvane_error_query",
    "Korvane_reset", "Korvane_ResetWithDefaults", "Korvane_Disable", "Korvane_self_test",
    "Korvane_revision_query", "Korvane_GetNextCoercionRecord", "Korvane_InvalidateAllAttributes",
    "Korvane_FindResources",
]
ACCESSOR_TYPES = ["ViInt32", "ViInt64", "ViReal64", "ViBoolean", "ViSession", "ViString"]
ACCESSORS = [f"Korvane_{d}AttributeVi{t[2:]}" for d in ("Get", "Set") for t in ACCESSOR_TYPES]

C_TYPE = {"I32": "ViInt32", "I64": "ViInt64", "R64": "ViReal64", "B": "ViBoolean", "S": "ViChar"}
TYPE_CODE = {"I32": "kAttrInt32", "I64": "kAttrInt64", "R64": "kAttrReal64", "B": "kAttrBoolean", "S": "kAttrString"}
COM_SCALAR = {"long": "LONG", "short": "SHORT", "int64": "LONGLONG", "double": "DOUBLE"}
ARRAY_RE = kc.ARRAY_RE


def snake(name: str) -> str:
    s = re.sub(r"([a-z0-9])([A-Z])", r"\1_\2", name)
    s = re.sub(r"([A-Z]+)([A-Z][a-z])", r"\1_\2", s)
    return re.sub(r"[^A-Za-z0-9]+", "_", s).upper().strip("_")


def enum_stem(name: str) -> str:
    stem = name[:-4] if name.endswith("Enum") else name
    if stem.startswith("Korvane"):
        stem = stem[len("Korvane"):]
    return snake(stem)


# ---------------------------------------------------------------------------------------------
# Functions: one adapter per COM parameter, named after the C parameters that feed it.


def adapters(f: it.Function, cat) -> list:
    """The adapter expressions for the COM parameters of f, in COM order."""
    rename = f.rename

    def nm(n):
        return rename.get(n, n)

    only_in = "array-in" in f.family and "array-out" not in f.family
    arrays_out = [p for p in f.com if ARRAY_RE.match(p.type) and p.dir != "in" and not (p.dir == "inout" and only_in)]
    shared_count = nm(f"{arrays_out[0].name}Size") if arrays_out else None
    actual = None
    if arrays_out and f.actual != "":
        actual = nm(f.actual or f"{arrays_out[-1].name}ActualSize")
    out = []
    for p in f.com:
        m = ARRAY_RE.match(p.type)
        if m:
            ctype = it.ARRAY_C[m.group(1)]
            if p in arrays_out and f.extra.get("direct"):
                out.append(f"DirectOut{{{shared_count}, {nm(p.name)}, {actual or 'nullptr'}, {{}}}}")
            elif p in arrays_out:
                fill = "true" if p.dir == "inout" and "array-in" in f.family else "false"
                out.append(f"ArrOut<{ctype}, {fill}>{{{shared_count}, {nm(p.name)}, {actual or 'nullptr'}, {{}}}}")
            else:
                out.append(f"ArrIn<{ctype}>{{{nm(p.name + 'Size')}, {nm(p.name)}, {{}}}}")
            continue
        t = p.type
        is_enum = t in cat.enums
        if p.dir == "in":
            if t == "VARIANT_BOOL":
                out.append(f"InBool({nm(p.name)})")
            elif t == "BSTR":
                out.append(f"InStr{{{nm(p.name)}, {{}}}}")
            else:
                out.append(f"InAs<{t if is_enum else COM_SCALAR[t]}>({nm(p.name)})")
        elif t == "BSTR":
            out.append(f"StrOut{{{nm(p.name + 'BufferSize')}, {nm(p.name)}, {{}}}}")
        elif t == "VARIANT_BOOL":
            out.append(f"OutBool({nm(p.name)})")
        else:
            out.append(f"OutAs<{t if is_enum else COM_SCALAR[t]}>({nm(p.name)})")
    return out


def c_decl(p: it.CParam) -> str:
    if p.array:
        return f"{p.type} {p.name}[]"
    return f"{p.type}{'*' if p.pointer else ''} {p.name}"


def prototype(f: it.Function) -> str:
    params = ", ".join(["ViSession vi"] + [c_decl(p) for p in f.params])
    return f"ViStatus _VI_FUNC {f.name}({params})"


def target(f: it.Function) -> str:
    if f.repcap:
        return (f"OnItem<{f.collection}, IID_{f.collection}, {f.interface}, IID_{f.interface}>")
    return f"OnRoot<{f.interface}, IID_{f.interface}>"


def function_body(f: it.Function, cat) -> str:
    lines = [f"KORVANE_API {prototype(f)} {{"]
    for msg in f.null_messages:
        name = it.NULL_MSG_RE.match(msg).group(1)
        lines.append(f"  if (!{name}) return NullParameter(vi, {c_string(msg)});")
    args = adapters(f, cat)
    name = f.params[0].name if f.repcap else "nullptr"
    call = f"Invoke<{target(f)}, &{f.interface}::{f.method}>(vi, {name}"
    lines.append(f"  return {call}{''.join(', ' + a for a in args)});")
    lines.append("}")
    return "\n".join(lines)




def function_unit(funcs, cat) -> str:
    out = [
        "// Generated from catalog/functions.toml by tools/codegen/gen_ivic.py; do not edit.",
        '#include "ivic/Families.h"',
        "#include <korvane/KorvaneCom.h>",
        "",
        "using namespace korvane::ivic;",
        "",
        'extern "C" {',
        "",
    ]
    for f in funcs:
        out.append(function_body(f, cat))
        out.append("")
    out.append('}  // extern "C"')
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------------------------------------
# Attributes.


def attribute_row(a: it.Attribute) -> str:
    ctype = C_TYPE[a.type]
    if a.fixed is not None:
        return f"  {{{a.id}, {TYPE_CODE[a.type]}, &AttrFixed<kFixed{a.id}>, nullptr}},"
    if a.repcap:
        tgt = f"OnItem<{a.collection}, IID_{a.collection}, {a.interface}, IID_{a.interface}>"
    elif a.null_session:
        tgt = f"OnRootOrNew<{a.interface}, IID_{a.interface}>"
    else:
        tgt = f"OnRoot<{a.interface}, IID_{a.interface}>"
    get = f"&AttrGet<{ctype}, {tgt}, &{a.interface}::get_{a.name}>" if "R" in a.access else "nullptr"
    put = f"&AttrSet<{ctype}, {tgt}, &{a.interface}::put_{a.name}>" if "W" in a.access else "nullptr"
    return f"  {{{a.id}, {TYPE_CODE[a.type]}, {get}, {put}}},"


def attribute_unit(attrs, k) -> str:
    out = [
        "// Generated from catalog/attributes.toml by tools/codegen/gen_ivic.py; do not edit.",
        '#include "ivic/Families.h"',
        "#include <korvane/KorvaneCom.h>",
        "",
        "#include <cstddef>",
        "",
        "namespace korvane::ivic {",
        "",
    ]
    for a in attrs:
        if a.fixed is not None:
            out.append(f"extern const char kFixed{a.id}[];")
            out.append(f"const char kFixed{a.id}[] = {c_string(a.fixed)};")
    out.append(f"extern const AttributeEntry kAttributes{k}[];")
    out.append(f"extern const std::size_t kAttributeCount{k};")
    out.append(f"const AttributeEntry kAttributes{k}[] = {{")
    out.extend(attribute_row(a) for a in attrs)
    out.append("};")
    out.append(f"const std::size_t kAttributeCount{k} = {len(attrs)};")
    out.append("")
    out.append("}  // namespace korvane::ivic")
    return "\n".join(out) + "\n"


def attribute_parts(units) -> str:
    out = [
        "// Generated from catalog/attributes.toml by tools/codegen/gen_ivic.py; do not edit.",
        '#include "ivic/AttributeMap.h"',
        "",
        "namespace korvane::ivic {",
        "",
    ]
    for k in range(units):
        out.append(f"extern const AttributeEntry kAttributes{k}[];")
        out.append(f"extern const std::size_t kAttributeCount{k};")
    out.append("")
    out.append("const std::span<const AttributeEntry> kAttributeParts[] = {")
    for k in range(units):
        out.append(f"  {{kAttributes{k}, kAttributeCount{k}}},")
    out.append("};")
    out.append(f"const std::size_t kAttributePartCount = {units};")
    out.append("")
    out.append("}  // namespace korvane::ivic")
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------------------------------------
# The header, the exports.


def enum_values(attrs, funcs, cat):
    """Enumerations an attribute or a function takes, in first-use order."""
    used = []

    def take(t):
        if t in cat.enums and t not in used:
            used.append(t)

    for a in attrs:
        iface = cat.interfaces.get(a.interface)
        if not iface:
            continue
        for m in iface.members:
            if m.name == a.name and m.kind in ("get", "put"):
                take(m.type)
    for f in funcs:
        for p in f.com:
            take(p.type)
    return used


def header_constants(attrs, funcs, cat) -> str:
    out = ["/* ---- Attribute identifiers ----",
           " * Pass one to the Korvane_Get/SetAttributeVi<Type> accessor of its type; attributes of a",
           " * channel, bus, math function or generator take its name as the repeated-capability name. */"]
    by_iface = {}
    for a in attrs:
        by_iface.setdefault((a.interface, a.repcap), []).append(a)
    for (iface, rc), rows in by_iface.items():
        where = f"{iface or 'driver prefix'}" + (f" (per {rc})" if rc else "")
        out.append(f"/* {where} */")
        for a in rows:
            kind = {"I32": "ViInt32", "I64": "ViInt64", "R64": "ViReal64", "B": "ViBoolean", "S": "ViString"}[a.type]
            access = {"R": "read-only", "W": "write-only", "RW": "read/write"}[a.access]
            out.append(f"#define {a.constant} {a.id}L /* {kind}, {access} */")
    out.append("")
    out.append("/* ---- Enumeration values ----")
    out.append(" * Values of the attributes and parameters that take an enumeration: KORVANE_VAL_<ENUM>_<VALUE>. */")
    seen = {}
    for name in enum_values(attrs, funcs, cat):
        e = cat.enums[name]
        out.append(f"/* {name} */")
        for m in e.members:
            const = f"KORVANE_VAL_{enum_stem(name)}_{snake(m.word)}"
            if const in seen:
                raise SystemExit(f"gen_ivic: {const} names both {seen[const]} and {name}.{m.word}")
            seen[const] = f"{name}.{m.word}"
            value = f"{m.value}L" if -0x80000000 <= m.value <= 0x7FFFFFFF else f"((ViInt32)0x{m.value:08X}L)"
            out.append(f"#define {const} {value}")
    return "\n".join(out)


def header_prototypes(funcs) -> str:
    out = ["/* ---- Operation functions ----",
           " * Each calls one method of the object model. Outputs are written only when the status is not",
           " * negative; a string output returns the buffer size it needs when the buffer is too small. */"]
    for f in funcs:
        out.append(f"KORVANE_API {prototype(f)};")
    return "\n".join(out)


def def_file(names) -> str:
    out = [
        "; Exports of Korvane.dll, generated by tools/codegen/gen_ivic.py; do not edit.",
        "; The COM entry points are PRIVATE: COM and regsvr32 find them by name, and they stay out of",
        "; the import library.",
        "LIBRARY Korvane.dll",
        "EXPORTS",
        "  DllGetClassObject PRIVATE",
        "  DllCanUnloadNow PRIVATE",
        "  DllRegisterServer PRIVATE",
        "  DllUnregisterServer PRIVATE",
        "  DllInstall PRIVATE",
    ]
    out.extend(f"  {n}" for n in names)
    return "\n".join(out) + "\n"


def exports_check(names) -> str:
    out = [
        "/* Generated by tools/codegen/gen_ivic.py: every export, declared by Korvane.h and linked from the",
        " * library. The program prints the names whose address it took, one a line. */",
        "#include <Korvane.h>",
        "#include <stdio.h>",
        "",
        "typedef void (*AnyFunction)(void);",
        "static const struct { const char* name; AnyFunction address; } kExports[] = {",
    ]
    out.extend(f'  {{"{n}", (AnyFunction){n}}},' for n in names)
    out += [
        "};",
        "",
        "int main(void) {",
        "  unsigned i;",
        "  for (i = 0; i < sizeof kExports / sizeof kExports[0]; ++i)",
        "    if (kExports[i].address) printf(\"%s\\n\", kExports[i].name);",
        "  return 0;",
        "}",
    ]
    return "\n".join(out) + "\n"




def split(rows, units):
    size = (len(rows) + units - 1) // units
    return [rows[i * size:(i + 1) * size] for i in range(units)]


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("catalog")
    ap.add_argument("out")
    ap.add_argument("--units", type=int, default=2)
    args = ap.parse_args(argv)
    catalog = Path(args.catalog)
    out = Path(args.out)
    try:
        cat = kc.load(catalog)
        tables = it.load(catalog, cat)
    except (kc.CatalogError, it.TablesError) as e:
        print("\n".join(e.errors), file=sys.stderr)
        return 1
    attrs, funcs = tables.attributes, tables.functions
    names = SESSION_FUNCTIONS + ACCESSORS + [f.name for f in funcs]
    if len(set(names)) != len(names):
        print("gen_ivic: an operation function reuses the name of a session function or accessor", file=sys.stderr)
        return 1

    template = (Path(__file__).resolve().parent / "Korvane.h.in").read_text(encoding="utf-8")
    text = template.replace("@KORVANE_CONSTANTS@", header_constants(attrs, funcs, cat))
    text = text.replace("@KORVANE_PROTOTYPES@", header_prototypes(funcs))
    write_if_changed(out / "Korvane.h", text)
    # The DLL exports the flat C API's functions too.
    write_if_changed(out / "com" / "Korvane.def", def_file(names + gen_ansic.exported(gen_ansic.load(catalog))))
    write_if_changed(out / "ivic" / "exports.txt", "\n".join(names) + "\n")
    write_if_changed(out / "ivic" / "ExportsCheck.c", exports_check(names))
    generated = [f for f in funcs if f.name not in HAND_WRITTEN]
    for k, part in enumerate(split(generated, args.units)):
        write_if_changed(out / "ivic" / f"IviCFunctions{k}.cpp", function_unit(part, cat))
    for k, part in enumerate(split(attrs, args.units)):
        write_if_changed(out / "ivic" / f"IviCAttributes{k}.cpp", attribute_unit(part, k))
    write_if_changed(out / "ivic" / "IviCAttributeParts.cpp", attribute_parts(args.units))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
