#!/usr/bin/env python3
"""Generate the COM header of the object model from the catalogue.

Usage: gen_com.py <catalog dir> [<output dir>] [--models models.toml] [--thunk-units N]

Writes <output dir>/korvane/KorvaneCom.h: enumerations, GUIDs and the COM-ABI interface structs,
in the conventions of a MIDL-generated header; beside it the member records, the implementation
classes and the thunks. Without an output directory it only checks the catalogue.
Exit status 1 on any catalogue error, each printed as <file>:<line>: <rule>: <message>.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korvane_catalog as kc  # noqa: E402
from codegen_common import cxx_bool, cxx_string, designated, render, write_if_changed  # noqa: E402

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
    """Every interface, IVI first, then the driver's in type-library order."""
    return list(cat.ivi_interfaces) + cat.driver_interfaces


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
        # A fixed underlying type makes every 32-bit value a valid value of the type, so a
        # client's out-of-range value can be loaded and then refused by the range check.
        out.append(f"enum {e.name} : int {{")
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
    out.extend(iid_of(cat))

    done = emitted(cat)
    out.append("// ---- Interfaces ----")
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


def iid_of(cat) -> list:
    """korvane::IidOf<I> for every interface with an IID, so queries take the IID from the type."""
    out = ["// ---- Identifiers by type (korvane::IidOf<I>) ----"]
    for i in list(cat.ivi_interfaces) + cat.driver_interfaces:
        out.append(f"struct {i.name};")
        out.append(f"KORVANE_IID_OF({i.name});")
    out.append("")
    return out


# ---------------------------------------------------------------------------------------------
# Entry points: the member records the call frame reads, the classes that implement the
# interfaces of each coclass, their QueryInterface tables and the thunks that enter the frame.

THUNK_UNITS = 4  # generated translation units for the thunks; fixed so the build knows them
CACHEABLE = {"long", "short", "int64", "double", "BSTR", "VARIANT_BOOL"}
# A forward is a hook the generator writes: the frame cannot tell them apart.
IMPL_KIND = {"generic": "Generic", "hook": "Hook", "forward": "Hook", "navigation": "Navigation",
             "collection": "Collection"}


def class_name(coclass: str) -> str:
    return "C" + coclass


def member_symbol(iface, m) -> str:
    return f"{iface.name}_{m.entry_name}"


hook_name = kc.hook_name


def is_simulated(cat, m) -> bool:
    """Served from the state cache while simulating: a property with a key and one value of a
    cacheable type (navigation and collection getters hand out objects, not settings)."""
    return (m.kind in ("get", "put") and m.key is not None and m.impl not in ("navigation", "collection")
            and len(m.params) == 1 and (m.type in CACHEABLE or m.type in cat.enums))


def param_masks(m):
    check = clear = 0
    for k, p in enumerate(m.params):
        if p.dir != "in" or kc.ARRAY_RE.match(p.type):
            check |= 1 << k
        if p.dir in ("out", "retval"):
            clear |= 1 << k
    return check, clear


def display_names(m):
    names = [p.name for p in m.params]
    if m.kind in ("get", "put") and names:
        names[-1] = "val"
    return names


def sim_default(cat, m):
    """(integer, real, text) of a getter's simulation default."""
    v = m.sim
    if v is None or m.kind != "get":
        return 0, 0.0, None
    if m.type in cat.enums and isinstance(v, str):
        v = next(x.value for x in cat.enums[m.type].members if x.word == v)
        return (v - 2**32 if v > 0x7FFFFFFF else v), 0.0, None
    if isinstance(v, bool):
        return (-1 if v else 0), 0.0, None
    if isinstance(v, str):
        return 0, 0.0, v
    if isinstance(v, float) or m.type == "double":
        return 0, float(v), None
    return int(v), 0.0, None


def collection_of(cat, iface, m):
    """The item class a collection member serves: the coclass of what its Item getter returns."""
    if m.impl != "collection":
        return None
    for cand in [m] + [x for i in [iface] + cat.base_chain(iface) for x in i.members]:
        if cand.impl == "collection" and cand.type in cat.interfaces:
            return cat.interfaces[cand.type].coclass
    return None


def cxx_real(x: float) -> str:
    r = repr(float(x))
    return r if ("." in r or "e" in r or "n" in r) else r + ".0"


def member_record(cat, iface, m) -> list:
    sym = member_symbol(iface, m)
    names = display_names(m)
    check, clear = param_masks(m)
    si, sr, st = sim_default(cat, m)
    lines = []
    if names:
        lines.append(f"inline constexpr const char* {sym}_params[] = {{{', '.join(cxx_string(n) for n in names)}}};")
    for what, items in (("families", m.exclude_families), ("models", m.exclude_models)):
        if items:
            lines.append(f"inline constexpr const char* {sym}_{what}[] = "
                         f"{{{', '.join(cxx_string(x) for x in items)}, nullptr}};")
    # Navigation hands out another interface of the object, a collection's Item getter the item
    # interface it returns; both are found by QueryInterface for this IID.
    returns_interface = m.impl in ("navigation", "collection") and m.type in cat.interfaces
    target = f"&IID_{m.type}" if returns_interface else "nullptr"
    kind = {"get": "Get", "put": "Put", "method": "Method"}[m.kind]

    def unless(value, default):
        return None if value == default else value

    fields = [
        ("method", f"{{IID_{iface.name}, {cxx_string(iface.name)}, {cxx_string(m.entry_name)}}}"),
        ("kind", f"MemberKind::{kind}"), ("impl", f"ImplKind::{IMPL_KIND[m.impl]}"),
        ("needsConnection", unless(cxx_bool(m.needs_connection), "true")),
        ("nullChecks", unless(cxx_bool(m.null_checks), "true")),
        ("simulated", unless(cxx_bool(is_simulated(cat, m)), "false")),
        ("key", unless(cxx_string(m.key), "nullptr")),
        ("paramNames", f"{sym}_params" if names else None), ("paramCount", unless(len(names), 0)),
        ("checkMask", unless(f"0x{check:X}u", "0x0u")), ("clearMask", unless(f"0x{clear:X}u", "0x0u")),
        ("excludedFamilies", f"{sym}_families" if m.exclude_families else None),
        ("excludedModels", f"{sym}_models" if m.exclude_models else None),
        ("simInteger", unless(f"{si}LL", "0LL")), ("simReal", unless(cxx_real(sr), "0.0")),
        ("simText", unless(cxx_string(st), "nullptr")), ("target", unless(target, "nullptr")),
        ("collection", unless(cxx_string(collection_of(cat, iface, m)), "nullptr")),
        ("query", unless(cxx_string(m.query), "nullptr")), ("response", unless(cxx_string(m.response), "nullptr")),
        ("command", unless(cxx_string(m.command), "nullptr")),
    ]
    lines.append(f"inline constexpr CMemberInfo {sym}{designated(fields)};")
    return lines


MEMBERS_H = """\
// Generated from catalog/*.toml by tools/codegen/gen_com.py; do not edit.
// One record per member of every complete interface: what the call frame reads.
#pragma once

#include <korvane/KorvaneCom.h>

#include "core/MemberInfo.h"

namespace korvane::members {

$records
}  // namespace korvane::members
"""


def members_header(cat) -> str:
    records = []
    for i in emitted(cat):
        for m in i.members:
            records.extend(member_record(cat, i, m))
        records.append("")
    return render(MEMBERS_H, records=records)


def chain(cat, iface):
    """The interfaces whose entries make up iface's vtable, first entries first."""
    return list(reversed(cat.base_chain(iface))) + [iface]


def coclass_layout(cat, coclass):
    """(interfaces, leaves): the complete interfaces of a coclass, default first, and those that
    no other of them extends; one implementation class per leaf covers the leaf's whole chain."""
    co = cat.coclasses[coclass]
    done = emitted(cat)
    own = [i for i in done if i.coclass == coclass]
    own.sort(key=lambda i: 0 if i.name == co.default else 1)
    bases = {b.name for i in own for b in cat.base_chain(i)}
    leaves = [i for i in own if i.name not in bases]
    return own, leaves


def provider(cat, leaves, target):
    for leaf in leaves:
        if any(x.name == target.name for x in chain(cat, leaf)):
            return leaf
    return None


def signature(cat, m) -> str:
    return ", ".join(f"{cxx_type(cat, p)} {p.name}" for p in m.params)


def hook_ref(cat, iface, m) -> str:
    """What the thunk hands the frame: the declared hook, or for a forward the generated call of
    the member it forwards to (through QueryInterface on the same object)."""
    if m.impl == "hook":
        return f"&{hook_name(iface, m)}"
    target, entry = cat.forward_target(m)
    return f"frame::Forward<{target.name}, IID_{target.name}, &{target.name}::{entry.entry_name}>{{}}"


def objects_header(cat) -> str:
    out = ["// Generated from catalog/*.toml by tools/codegen/gen_com.py; do not edit.",
           "// The interface implementation classes of each coclass and the hooks that hand-written",
           "// code defines for the members marked hook.",
           "#pragma once", "", "#include <korvane/KorvaneCom.h>", "", "namespace korvane {", ""]
    for c in cat.coclasses.values():
        out.append(f"class {class_name(c.name)};")
    out.append("")
    out.append("// ---- hooks: the hand-written functions of the members the catalogue marks hook ----")
    for i in emitted(cat):
        for m in i.members:
            if m.impl == "hook":
                out.append(f"HRESULT {hook_name(i, m)}({class_name(i.coclass)}& self"
                           + (f", {signature(cat, m)}" if m.params else "") + ");")
    out.append("")
    out.append("namespace gen {")
    out.append("")
    out.append("// The coclass of an object class and its default interface.")
    out.append("template <class T>")
    out.append("struct Coclass;")
    for c in cat.coclasses.values():
        out.append(f"template <>\nstruct Coclass<{class_name(c.name)}> {{\n"
                   f"  static constexpr const CLSID& clsid = CLSID_{c.name};\n"
                   f"  static constexpr const IID& iid = IID_{c.default};\n}};")
    for c in cat.coclasses.values():
        cls = class_name(c.name)
        _, leaves = coclass_layout(cat, c.name)
        for leaf in leaves:
            out.append("")
            out.append(f"class {cls}_{leaf.name} : public {leaf.name} {{")
            out.append(" public:")
            for i in chain(cat, leaf):
                for m in i.members:
                    out.append(f"  HRESULT STDMETHODCALLTYPE {m.entry_name}({signature(cat, m)}) override;")
            out.append("};")
        bases = ", ".join(f"public {cls}_{leaf.name}" for leaf in leaves) or "public IUnknown"
        out.append("")
        out.append(f"// Every complete interface of {c.name}.")
        out.append(f"class {cls}_Interfaces : {bases} {{}};")
        out.append(f"// The interface of the object for iid (IUnknown: its identity), or null.")
        out.append(f"void* FindInterface({cls}& self, REFIID iid) noexcept;")
    out.append("")
    out.append("}  // namespace gen")
    out.append("}  // namespace korvane")
    out.append("")
    return "\n".join(out)


THUNKS_CPP = """\
// Generated from catalog/*.toml by tools/codegen/gen_com.py; do not edit.
// Entry points: each enters the call frame with its member's record.
#include "com/Objects.h"
#include "core/CallFrame.h"

#include <korvane/KorvaneMembers.h>

namespace korvane::gen {

$bodies
}  // namespace korvane::gen
"""


def thunk_units(cat, count=THUNK_UNITS) -> list:
    """The thunk definitions, spread over THUNK_UNITS translation units by entry count."""
    bodies = []
    for c in cat.coclasses.values():
        cls = class_name(c.name)
        own, leaves = coclass_layout(cat, c.name)
        for leaf in leaves:
            lines = []
            for i in chain(cat, leaf):
                for m in i.members:
                    sym = f"members::{member_symbol(i, m)}"
                    hook = f", {hook_ref(cat, i, m)}" if m.impl in ("hook", "forward") else ""
                    args = ", ".join(p.name for p in m.params)
                    lines.append(f"HRESULT STDMETHODCALLTYPE {cls}_{leaf.name}::{m.entry_name}({signature(cat, m)}) {{")
                    lines.append(f"  return frame::Entry<{sym}{hook}>(static_cast<{cls}&>(*this)"
                                 + (f", {args}" if args else "") + ");")
                    lines.append("}")
            bodies.append(lines)
        # A switch on the identifier's first 32 bits finds the candidates without comparing every
        # identifier of an object that answers for a hundred and more interfaces.
        table = [f"void* FindInterface({cls}& self, REFIID iid) noexcept {{"]
        cases = {}
        if leaves:
            first = leaves[0]
            cases.setdefault(0, []).append(("IUnknown", f"static_cast<IUnknown*>(static_cast<{cls}_{first.name}*>(&self))"))
            for i in own:
                leaf = provider(cat, leaves, i)
                cases.setdefault(kc.guid_parts(i.iid)[0], []).append(
                    (i.name, f"static_cast<{i.name}*>(static_cast<{cls}_{leaf.name}*>(&self))"))
        else:
            cases.setdefault(0, []).append(("IUnknown", f"static_cast<IUnknown*>(static_cast<{cls}_Interfaces*>(&self))"))
        table.append("  switch (iid.Data1) {")
        for d1, rows in cases.items():
            table.append(f"    case 0x{d1:08X}u:")
            for name, cast in rows:
                table.append(f"      if (IsEqualIID(iid, IID_{name})) return {cast};")
            table.append("      break;")
        table.append("  }")
        table.append("  return nullptr;")
        table.append("}")
        bodies.append(table)
    units = [[] for _ in range(count)]
    sizes = [0] * count
    for b in sorted(bodies, key=len, reverse=True):
        k = sizes.index(min(sizes))
        units[k].extend(b)
        units[k].append("")
        sizes[k] += len(b)
    return [render(THUNKS_CPP, bodies=u) for u in units]




def refusals_header(cat) -> str:
    """The refused values of the putters that declare them, one array per member."""
    out = ["// Generated from catalog/*.toml by tools/codegen/gen_com.py; do not edit.",
           "// The values each putter refuses on some families or models (refuse_values).",
           "#pragma once", "", '#include "core/MemberInfo.h"', "", "namespace korvane::refusals {", ""]
    for i in cat.interfaces.values():
        for m in i.members:
            if not m.refusals:
                continue
            sym = member_symbol(i, m)
            rows = []
            for r in m.refusals:
                lists = {}
                for what, items in (("families", r.families), ("models", r.models)):
                    out.append(f"inline constexpr const char* {sym}_{r.word}_{what}[] = "
                               f"{{{', '.join([cxx_string(x) for x in items] + ['nullptr'])}}};")
                    lists[what] = f"{sym}_{r.word}_{what}"
                rows.append(f"    {{.value = {r.value}, .feature = {cxx_string(r.feature)}, "
                            f".families = {lists['families']}, .models = {lists['models']}}},")
            out.append(f"inline constexpr CValueRefusal {sym}[] = {{")
            out.extend(rows)
            out.append("};")
            out.append("")
    out.append("}  // namespace korvane::refusals")
    out.append("")
    return "\n".join(out)


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("catalog")
    ap.add_argument("out", nargs="?")
    ap.add_argument("--models")
    ap.add_argument("--thunk-units", type=int, default=THUNK_UNITS)
    a = ap.parse_args(argv)
    try:
        cat = kc.load(a.catalog, a.models)
    except kc.CatalogError as e:
        for line in e.errors:
            print(line, file=sys.stderr)
        return 1
    if a.out:
        out = Path(a.out)
        write_if_changed(out / "korvane" / "KorvaneCom.h", header(cat))
        write_if_changed(out / "korvane" / "KorvaneMembers.h", members_header(cat))
        write_if_changed(out / "korvane" / "KorvaneObjects.h", objects_header(cat))
        write_if_changed(out / "korvane" / "KorvaneRefusals.h", refusals_header(cat))
        for k, text in enumerate(thunk_units(cat, a.thunk_units)):
            write_if_changed(out / "com" / f"KorvaneThunks{k}.cpp", text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
