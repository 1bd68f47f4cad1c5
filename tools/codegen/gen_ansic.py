#!/usr/bin/env python3
"""Generate the flat C99 API (the `<Identifier>_...` functions) from the catalogue.

Usage: gen_ansic.py <catalog dir> <output dir> [--units N] [--list]

The identifier (`ansi_c_identifier` in catalog/library.toml, a two-letter vendor code and a
model token such as "KVScope") forms every public name: functions `KVScope_<path>`, the session
type `KVScopeSession`, constants `KVSCOPE_...` and the header `kvscope.h`.

The object model becomes function names by walking it from the root's newest interface: a
navigation getter adds its name to the path, a collection's Item getter adds a selector
parameter (the name of the item) and nothing to the name. Versions of one object (`Trigger`,
`Trigger2` .. `Trigger5`, or an item answering `IKorvaneSerialBus4` beside `IKorvane2SerialBus`)
are one node, reached through the newest interface, so each member appears once, under the name
of its oldest navigation getter. Properties end in `_get` / `_set`; methods keep their
parameters: strings and arrays coming back use the size protocol (size, buffer, size_required).

Writes below <output dir>:
  kvscope.h                 the public header (types, status constants, enumerations, prototypes)
  korvane/AnsiCApi.h        includes it for the hand-written part (src/ansic)
  ansic/AnsiCFunctions<k>.cpp  the function bodies: one template of src/ansic/Families.h per row
  ansic/exports.txt         the exported names, one a line
  ansic/coverage.txt        what was generated and what was left out, with the reason

--list prints the exported names (gen_ivic.py adds them to the DLL's .def this way).
Standard library only; reads only the catalogue.
"""
from __future__ import annotations

import argparse
import re
import sys
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import ivic_tables as it  # noqa: E402
import korvane_catalog as kc  # noqa: E402
from codegen_common import cxx_string, write_if_changed  # noqa: E402

ROOT = "IKorvane8"
IDENT_RE = re.compile(r"^[A-Z]{2}[A-Z][A-Za-z0-9]*$")

SCALAR_C = {"long": "int32_t", "short": "int16_t", "int64": "int64_t", "double": "double", "VARIANT_BOOL": "bool"}
COM_SCALAR = {"long": "LONG", "short": "SHORT", "int64": "LONGLONG", "double": "DOUBLE"}
ARRAY_C = {"double": "double", "short": "int16_t", "long": "int32_t", "BYTE": "uint8_t"}
ARRAY_RE = re.compile(r"^SAFEARRAY\((double|short|long|BYTE)\)$")

# Members the required functions serve, or whose reading cannot be undone: a size query of the
# size protocol would lose what it read (the next error, the next response, the next record).
LEFT_OUT = {
    "Initialize": "served by _init / _init_with_options",
    "Close": "served by _close",
    "ErrorQuery": "served by _error_query and _read_and_clear_error_queue",
    "ReadBytes": "served by the direct I/O functions",
    "ReadBytes2": "served by the direct I/O functions",
    "ReadString": "served by the direct I/O functions",
    "GetNextCoercionRecord": "served by _get_next_coercion_record, which holds what a size query leaves",
    "GetNextInterchangeWarning": "served by _get_next_interchange_warning, which holds what a size query leaves",
}

# Status constants beyond the driver's message table: standard HRESULTs the API returns itself.
API_STATUS = [
    ("ERROR_INVALID_SESSION", 0x80070006, "The session handle is not valid."),
    ("ERROR_BUFFER_TOO_SMALL", 0x8007007A, "The buffer is too small; size_required gives the size needed."),
    ("ERROR_INVALID_ARGUMENT", 0x80070057, "An argument is not valid."),
]


# C and C++ keywords, and the names the generated functions use themselves.
RESERVED = set("""auto bool break case catch char class const continue default delete do double else enum explicit
export extern false float for friend goto if inline int long mutable namespace new operator private protected public
register restrict return session short signed sizeof static struct switch template this throw true try typedef
typename union unsigned using virtual void volatile while""".split())


def param_name(name: str) -> str:
    s = snake(name) if name != "Val" else "value"
    return s + "_value" if s in RESERVED else s


def snake(name: str) -> str:
    s = re.sub(r"([a-z0-9])([A-Z])", r"\1_\2", name)
    s = re.sub(r"([A-Z]+)([A-Z][a-z])", r"\1_\2", s)
    return re.sub(r"[^A-Za-z0-9]+", "_", s).strip("_").lower()


def stem(name: str) -> str:
    return re.sub(r"\d+$", "", name) or name


def identifier(catalog: Path) -> str:
    with open(catalog / "library.toml", "rb") as fh:
        ident = tomllib.load(fh)["library"].get("ansi_c_identifier", "")
    if not IDENT_RE.match(ident):
        raise SystemExit(f"gen_ansic: [library] ansi_c_identifier '{ident}' is not a two-letter code and a model token")
    return ident


# ---------------------------------------------------------------------------------------------
# The object model as nodes and functions.


@dataclass
class Step:
    kind: str  # "nav" or "item"
    iface: str  # the interface that declares the getter
    getter: str  # get_<Name>


@dataclass
class Node:
    path: list  # snake segments
    iface: str  # the newest interface of the object
    steps: list  # list[Step] from the root
    selectors: list  # selector parameter names, one per collection level


@dataclass
class CParam:
    decl: str  # C declaration
    names: list  # the C names an adapter takes


@dataclass
class Function:
    name: str
    node: Node
    member: object  # kc.Member
    params: list = field(default_factory=list)  # C parameters after the session and selectors
    adapters: list = field(default_factory=list)  # C++ adapter expressions, in COM order
    kind: str = "method"  # property / method
    acquires: bool = False


class Model:
    def __init__(self, cat, tables, ident):
        self.cat, self.ident = cat, ident
        self.lower = ident.lower()
        self.functions: list[Function] = []
        self.left_out: list[str] = []
        self.enums: list[str] = []
        self.array_dirs = {}
        # Methods whose double arrays the waveform code can write straight into the caller's buffer.
        self.direct = {(f.interface, f.method) for f in tables.functions if f.extra.get("direct")}
        for f in tables.functions:
            for p in f.com:
                if ARRAY_RE.match(p.type):
                    fam = "in" if "array-in" in f.family and "array-out" not in f.family else "out"
                    self.array_dirs[(f.interface, f.method, p.name)] = fam
        self._chains = {}
        self.nodes: list[Node] = []
        self.walk(Node([], self.newest(ROOT), [], []))
        names = [f.name for f in self.functions]
        dup = {n for n in names if names.count(n) > 1}
        if dup:
            raise SystemExit(f"gen_ansic: names generated twice: {', '.join(sorted(dup))}")

    def chain(self, name):
        if name not in self._chains:
            out, n = [], name
            while n in self.cat.interfaces:
                out.append(n)
                n = self.cat.interfaces[n].base
            self._chains[name] = out
        return self._chains[name]

    def newest(self, name):
        """The most derived interface of the same object that extends `name`."""
        coclass = self.cat.interfaces[name].coclass
        cands = [n for n, i in self.cat.interfaces.items() if i.coclass == coclass and name in self.chain(n)]
        best = max(cands, key=lambda n: len(self.chain(n)))
        strays = [c for c in cands if c not in self.chain(best)]
        if strays:
            raise SystemExit(f"gen_ansic: {name} has versions outside one line: {best} and {strays}")
        return best

    def members(self, iface):
        for n in reversed(self.chain(iface)):
            for m in self.cat.interfaces[n].members:
                yield n, m

    def is_nav(self, m):
        return (m.kind == "get" and m.name != "Item" and len(m.params) == 1 and m.params[0].dir == "retval"
                and m.type in self.cat.interfaces)

    def is_item(self, m):
        return (m.kind == "get" and m.name == "Item" and len(m.params) == 2 and m.params[0].type == "BSTR"
                and m.type in self.cat.interfaces)

    def walk(self, node):
        self.nodes.append(node)
        navs = {}  # (stem, newest target) -> [(declaring iface, member)]
        for owner, m in self.members(node.iface):
            if self.is_nav(m):
                navs.setdefault((stem(m.name), self.newest(m.type)), []).append((owner, m))
            elif self.is_item(m):
                sel = f"{node.path[-1] if node.path else 'item'}_name"
                self.walk(Node(node.path, self.newest(m.type), node.steps + [Step("item", owner, "get_Item")],
                               node.selectors + [sel]))
            else:
                self.add_member(node, owner, m)
        for (_, target), group in navs.items():
            owners = {o for o, _ in group}
            if len(owners) != len(group):
                # Two getters of one interface reaching the same kind of object are two objects.
                for owner, m in group:
                    self.walk(Node(node.path + [snake(m.name)], self.newest(m.type),
                                   node.steps + [Step("nav", owner, f"get_{m.name}")], node.selectors))
                continue
            oldest = min(group, key=lambda g: len(self.chain(g[0])))
            newest = max(group, key=lambda g: len(self.chain(g[1].type)))
            self.walk(Node(node.path + [snake(oldest[1].name)], target,
                           node.steps + [Step("nav", newest[0], f"get_{newest[1].name}")], node.selectors))

    def enum_c(self, name):
        if name not in self.enums:
            self.enums.append(name)
        return self.ident + enum_stem(name)

    def add_member(self, node, owner, m):
        label = f"{owner}::{m.entry_name}"
        if m.kind == "get" and m.name.startswith("Item") and m.type in self.cat.interfaces:
            self.left_out.append(f"{label}: a newer version of the item; the selector reaches its members")
            return
        if m.kind == "get" and m.type in self.cat.interfaces:
            self.left_out.append(f"{label}: hands out the I/O library's object; the direct I/O functions serve it")
            return
        if m.name in LEFT_OUT and m.kind == "method":
            self.left_out.append(f"{label}: {LEFT_OUT[m.name]}")
            return
        f = Function("", node, m)
        f.kind = "property" if m.kind in ("get", "put") else "method"
        for p in m.params:
            if not self.param(f, owner, m, p):
                self.left_out.append(f"{label}: parameter {p.name} of type {p.type} has no C form")
                return
        names = [d.split()[-1].lstrip("*") for d in f.params] + node.selectors
        if len(set(names)) != len(names):
            raise SystemExit(f"gen_ansic: {label}: two parameters share a C name: {names}")
        suffix = {"get": "_get", "put": "_set"}.get(m.kind, "")
        f.name = "_".join([self.ident] + node.path + [snake(m.name)]) + suffix
        f.owner = owner
        f.acquires = m.kind == "method" and m.name.startswith("Read") and any(
            a.startswith(("ArrOut", "DirectOut")) for a in f.adapters)
        self.functions.append(f)

    def param(self, f, owner, m, p):
        t, d = p.type, p.dir
        name = param_name(p.name)
        arr = ARRAY_RE.match(t)
        if arr:
            c = ARRAY_C[arr.group(1)]
            direction = "in" if d == "in" else self.array_dirs.get((owner, m.name, p.name))
            if direction is None:
                direction = "in" if re.match(r"(Set|Put|Write)", m.name) else (
                    "out" if re.match(r"(Get|Fetch|Read|Preamble)", m.name) else None)
            if direction is None:
                return False
            if direction == "in":
                f.params += [f"size_t {name}_count", f"const {c}* {name}"]
                f.adapters.append(f"ArrIn<{c}>{{{name}_count, {name}, {{}}}}")
            else:
                f.params += [f"size_t {name}_size", f"{c}* {name}", f"size_t* {name}_size_required"]
                shape = "DirectOut" if c == "double" and (owner, m.name) in self.direct else f"ArrOut<{c}>"
                f.adapters.append(f"{shape}{{{name}_size, {name}, {name}_size_required, {{}}}}")
            return True
        is_enum = t in self.cat.enums
        if t not in SCALAR_C and t != "BSTR" and not is_enum:
            return False
        ctype = self.enum_c(t) if is_enum else SCALAR_C.get(t)
        if d == "in":
            if t == "BSTR":
                f.params.append(f"const char* {name}")
                f.adapters.append(f"InStr{{{name}, {{}}}}")
            elif t == "VARIANT_BOOL":
                f.params.append(f"bool {name}")
                f.adapters.append(f"InBool({name})")
            else:
                f.params.append(f"{ctype} {name}")
                f.adapters.append(f"InAs<{t if is_enum else COM_SCALAR[t]}>({name})")
        elif t == "BSTR":
            f.params += [f"size_t {name}_size", f"char* {name}", f"size_t* {name}_size_required"]
            f.adapters.append(f"StrOut{{{name}_size, {name}, {name}_size_required, {{}}}}")
        elif t == "VARIANT_BOOL":
            f.params.append(f"bool* {name}")
            f.adapters.append(f"OutBool({name})")
        else:
            f.params.append(f"{ctype}* {name}")
            f.adapters.append(f"OutAs<{t if is_enum else COM_SCALAR[t]}>({name})")
        return True


def enum_stem(name: str) -> str:
    s = name[:-4] if name.endswith("Enum") else name
    return s[len("Korvane"):] if s.startswith("Korvane") else s


# ---------------------------------------------------------------------------------------------
# The hand-written functions: (name, C parameters, implementation in korvane::ansic).

def required(ident):
    s = f"{ident}Session"
    text = "size_t size, char* buffer, size_t* size_required"
    return [
        ("init", f"const char* resource_name, bool id_query, bool reset, {s}* session", "Init"),
        ("init_with_options", f"const char* resource_name, bool id_query, bool reset, const char* options, {s}* session",
         "InitWithOptions"),
        ("close", f"{s} session", "Close"),
        ("driver_version_get", f"{s} session, {text}", "DriverVersion"),
        ("driver_vendor_get", f"{s} session, {text}", "DriverVendor"),
        ("instrument_manufacturer_get", f"{s} session, {text}", "InstrumentManufacturer"),
        ("instrument_model_get", f"{s} session, {text}", "InstrumentModel"),
        ("supported_instrument_models_get", f"{s} session, {text}", "SupportedModels"),
        ("error_query", f"{s} session, int32_t* error_code, {text}", "ErrorQuery"),
        ("query_instrument_status_enabled_get", f"{s} session, bool* value", "QueryInstrumentStatusGet"),
        ("query_instrument_status_enabled_set", f"{s} session, bool value", "QueryInstrumentStatusSet"),
        ("reset", f"{s} session", "Reset"),
        ("simulate_get", f"{s} session, bool* value", "SimulateGet"),
        ("error_message", f"int32_t status, {text}", "ErrorMessage"),
        ("last_error_message", f"{s} session, {text}", "LastErrorMessage"),
        ("clear_last_error", f"{s} session", "ClearLastError"),
        ("read_and_clear_error_queue", f"{s} session, size_t size, char* buffer", "ReadAndClearErrorQueue"),
        ("get_next_coercion_record", f"{s} session, {text}", "NextCoercionRecord"),
        ("get_next_interchange_warning", f"{s} session, {text}", "NextInterchangeWarning"),
        ("direct_io_timeout_milliseconds_get", f"{s} session, int32_t* value", "IoTimeoutGet"),
        ("direct_io_timeout_milliseconds_set", f"{s} session, int32_t value", "IoTimeoutSet"),
        ("direct_io_write_bytes", f"{s} session, size_t count, const uint8_t* data", "WriteBytes"),
        ("direct_io_write_string", f"{s} session, const char* data", "WriteString"),
        ("direct_io_read_bytes", f"{s} session, size_t size, uint8_t* buffer, size_t* size_required", "ReadBytes"),
        ("direct_io_read_string", f"{s} session, {text}", "ReadString"),
        ("direct_io_query", f"{s} session, const char* command, {text}", "Query"),
        ("service_request_handler_set", f"{s} session, {ident}ServiceRequestCallback callback, void* context",
         "ServiceRequestHandlerSet"),
        ("find_resources", f"const char* expression, const char* options, {text}", "ListInstruments"),
    ]


def session_args(params: str) -> str:
    """The argument list that forwards a C parameter list."""
    return ", ".join(p.split()[-1].lstrip("*") for p in params.split(", "))


def prototype(model: Model, f: Function) -> str:
    params = [f"{model.ident}Session session"] + [f"const char* {s}" for s in f.node.selectors] + f.params
    return f"int32_t {f.name}({', '.join(params)})"


# ---------------------------------------------------------------------------------------------
# The header.


def c_int(v: int) -> str:
    v = v - (1 << 32) if v >= 0x80000000 else v
    return "(-2147483647 - 1)" if v == -0x80000000 else str(v)


def messages(catalog: Path):
    with open(catalog / "messages.toml", "rb") as fh:
        return [r for r in tomllib.load(fh)["message"] if r["hresult"]]


def header(model: Model, catalog: Path) -> str:
    ident, up = model.ident, model.ident.upper()
    guard = f"{up}_H"
    out = [
        f"/* {ident}: the driver's flat C API (C99 and later, and C++).",
        " *",
        f" * Every function returns int32_t: 0 success, negative an error, positive a warning; the text of a",
        f" * status is {ident}_error_message(). Strings are UTF-8. A function on a channel, measurement, bus,",
        " * math function or generator takes its name (a selector) after the session.",
        " * Strings and arrays coming back take (size, buffer, size_required): size 0 or a null buffer gives",
        " * the size needed and writes nothing; a buffer too small gives",
        f" * {up}_ERROR_BUFFER_TOO_SMALL and the size needed and writes nothing; a string's size counts",
        " * its terminating NUL. Sizes count elements, not bytes.",
        " * Functions that acquire (read_waveform ...) check the buffer against the acquisition's record",
        " * length before they start, so a size query or a short buffer never starts an acquisition.",
        " *",
        f" * Generated from the catalogue by tools/codegen/gen_ansic.py. */",
        f"#ifndef {guard}",
        f"#define {guard}",
        "",
        "#include <stdbool.h>",
        "#include <stddef.h>",
        "#include <stdint.h>",
        "",
        f"#if defined({up}_STATIC) || (defined(_WIN32) && defined(KORVANE_BUILDING_LIBRARY))",
        f"#define {up}_API",
        "#elif defined(_WIN32)",
        f"#define {up}_API __declspec(dllimport)",
        "#elif defined(__GNUC__)",
        f'#define {up}_API __attribute__((visibility("default")))',
        "#else",
        f"#define {up}_API",
        "#endif",
        "",
        "/* Enumerations have a fixed 32-bit underlying type where the language can say so. */",
        "#if (defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSVC_LANG) && _MSVC_LANG >= 201103L))) || \\",
        "    (!defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 202311L)",
        f"#define {up}_ENUM_BASE : int32_t",
        "#else",
        f"#define {up}_ENUM_BASE",
        "#endif",
        "",
        "#ifdef __cplusplus",
        'extern "C" {',
        "#endif",
        "",
        f"typedef struct {ident}SessionData* {ident}Session;",
        f"#define {up}_INVALID_SESSION (({ident}Session)0)",
        "",
        "/* A service request handler: called on a thread of the session's own, one call at a time, with",
        " * the status byte the request came with and the context given. It may call the session's",
        f" * functions; it must not close the session. {ident}_service_request_handler_set with a null",
        " * callback removes it and returns once a call in progress on another thread has returned. */",
        f"typedef void (*{ident}ServiceRequestCallback)({ident}Session session, uint8_t status_byte, void* context);",
        "",
        "/* ---- Status values (the driver's own codes; one code means the same in every API) ---- */",
        f"#define {up}_SUCCESS 0",
    ]
    for r in messages(catalog):
        kind = "ERROR" if r["hresult"] & 0x80000000 else "WARNING"
        out.append(f"#define {up}_{kind}_{snake(r['name']).upper()} ((int32_t){c_int(r['hresult'])})")
    for name, code, _ in API_STATUS:
        out.append(f"#define {up}_{name} ((int32_t){c_int(code)})")
    out.append("")
    out.append("/* ---- Enumerations ---- */")
    for name in model.enums:
        e = model.cat.enums[name]
        tname = ident + enum_stem(name)
        out.append(f"typedef enum {tname} {up}_ENUM_BASE {{")
        mem = [f"  {up}_{snake(enum_stem(name)).upper()}_{snake(m.word).upper()} = {c_int(m.value & 0xFFFFFFFF)}"
               for m in e.members]
        out.append(",\n".join(mem))
        out.append(f"}} {tname};")
    out.append("")
    out.append("/* ---- Session, errors, identity, direct I/O ---- */")
    for name, params, _ in required(ident):
        out.append(f"{up}_API int32_t {ident}_{name}({params});")
    out.append("")
    out.append("/* ---- The object model: properties (_get/_set) and methods ---- */")
    for f in model.functions:
        out.append(f"{up}_API {prototype(model, f)};")
    out += ["", "#ifdef __cplusplus", "}", "#endif", "", f"#endif /* {guard} */", ""]
    return "\n".join(out)


# ---------------------------------------------------------------------------------------------
# The function bodies.


def path_type(node: Node) -> str:
    steps = []
    for s in node.steps:
        steps.append(f"{'Nav' if s.kind == 'nav' else 'Item'}<&{s.iface}::{s.getter}>")
    return f"Path<{', '.join(steps)}>"


def function_unit(model: Model, funcs) -> str:
    up = model.ident.upper()
    out = [
        "// Generated from the catalogue by tools/codegen/gen_ansic.py; do not edit.",
        '#include "ansic/Families.h"',
        "",
        "#include <korvane/KorvaneCom.h>",
        "",
        "using namespace korvane::ansic;",
        "",
        'extern "C" {',
        "",
    ]
    for f in funcs:
        sel = ", ".join(f.node.selectors)
        method = f"&{f.owner}::{f.member.entry_name}"
        flag = "Acquires::Yes" if f.acquires else "Acquires::No"
        args = "".join(", " + a for a in f.adapters)
        out.append(f"{up}_API {prototype(model, f)} {{")
        out.append(f"  return Call<{path_type(f.node)}, {method}, {flag}>(session, {{{sel}}}{args});")
        out.append("}")
    out.append("")
    out.append('}  // extern "C"')
    return "\n".join(out) + "\n"


def required_unit(model: Model) -> str:
    up = model.ident.upper()
    out = [
        "// Generated from tools/codegen/gen_ansic.py; do not edit. The exported names of the functions",
        "// src/ansic/Required.cpp implements.",
        '#include "ansic/Required.h"',
        "",
        'extern "C" {',
        "",
    ]
    for name, params, impl in required(model.ident):
        out.append(f"{up}_API int32_t {model.ident}_{name}({params}) {{")
        out.append(f"  return korvane::ansic::{impl}({session_args(params)});")
        out.append("}")
    out.append("")
    out.append('}  // extern "C"')
    return "\n".join(out) + "\n"


def status_table(model: Model, catalog: Path) -> str:
    out = ["// Generated from catalog/messages.toml by tools/codegen/gen_ansic.py; do not edit.",
           "// The status values the C API names, with their text.", ""]
    for name, code, text in API_STATUS:
        out.append(f"{{0x{code:08X}u, {cxx_string(text)}}},")
    return "\n".join(out) + "\n"


def api_header(model: Model) -> str:
    return "\n".join([
        "// Generated by tools/codegen/gen_ansic.py; do not edit. The flat C API's header and session type,",
        "// for the hand-written part, which does not name the driver identifier.",
        "#pragma once",
        "",
        f"#include <{model.lower}.h>",
        "",
        "namespace korvane::ansic {",
        f"using Session = {model.ident}Session;",
        f"using ServiceRequestCallback = {model.ident}ServiceRequestCallback;",
        "}  // namespace korvane::ansic",
        "",
    ])


def contract_items(model: Model, catalog: Path) -> dict:
    """What the flat C API publishes, for catalog/contract.lock: prototypes and constants."""
    ident, up = model.ident, model.ident.upper()
    items = {}
    for name, params, _ in required(ident):
        items[f"ansi-c function {ident}_{name}"] = params
    for f in model.functions:
        items[f"ansi-c function {f.name}"] = prototype(model, f).split("(", 1)[1][:-1]
    for r in messages(catalog):
        kind = "ERROR" if r["hresult"] & 0x80000000 else "WARNING"
        items[f"ansi-c constant {up}_{kind}_{snake(r['name']).upper()}"] = f"0x{r['hresult']:08X}"
    for name, code, _ in API_STATUS:
        items[f"ansi-c constant {up}_{name}"] = f"0x{code:08X}"
    for name in model.enums:
        for m in model.cat.enums[name].members:
            items[f"ansi-c constant {up}_{snake(enum_stem(name)).upper()}_{snake(m.word).upper()}"] = str(m.value)
    return items


def exported(model: Model):
    return [f"{model.ident}_{n}" for n, _, _ in required(model.ident)] + [f.name for f in model.functions]


def load(catalog: Path):
    cat = kc.load(catalog)
    tables = it.load(catalog, cat)
    return Model(cat, tables, identifier(catalog))


def split(rows, units):
    size = (len(rows) + units - 1) // units
    return [rows[i * size:(i + 1) * size] for i in range(units)]


def coverage(model: Model) -> str:
    props = sum(1 for f in model.functions if f.kind == "property")
    out = [f"functions {len(model.functions) + len(required(model.ident))}",
           f"required {len(required(model.ident))}",
           f"properties {props}",
           f"methods {len(model.functions) - props}",
           f"left out {len(model.left_out)}"]
    out += [f"  {x}" for x in model.left_out]
    return "\n".join(out) + "\n"


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("catalog")
    ap.add_argument("out", nargs="?")
    ap.add_argument("--units", type=int, default=2)
    ap.add_argument("--list", action="store_true")
    args = ap.parse_args(argv)
    catalog = Path(args.catalog)
    try:
        model = load(catalog)
    except (kc.CatalogError, it.TablesError) as e:
        print("\n".join(e.errors), file=sys.stderr)
        return 1
    if args.list:
        print("\n".join(exported(model)))
        return 0
    out = Path(args.out)
    write_if_changed(out / f"{model.lower}.h", header(model, catalog))
    write_if_changed(out / "korvane" / "AnsiCApi.h", api_header(model))
    write_if_changed(out / "ansic" / "AnsiCRequired.cpp", required_unit(model))
    write_if_changed(out / "ansic" / "ApiStatus.inc", status_table(model, catalog))
    for k, part in enumerate(split(model.functions, args.units)):
        write_if_changed(out / "ansic" / f"AnsiCFunctions{k}.cpp", function_unit(model, part))
    write_if_changed(out / "ansic" / "exports.txt", "\n".join(exported(model)) + "\n")
    write_if_changed(out / "ansic" / "coverage.txt", coverage(model))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
