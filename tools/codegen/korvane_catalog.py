"""Loader and validator of the object-model catalogue (catalog/*.toml).

The catalogue is the single description of the COM object model: library attributes and
coclasses (library.toml), enumerations (enums*.toml), the IVI interfaces the driver implements
(ivi.toml) and the driver's own interfaces (interfaces-<area>.toml). Everything generated from
it goes through `load()`, which either returns a checked `Catalog` or raises `CatalogError`
with every problem found, each as "<file>:<line>: <rule>: <message>".

Standard library only (Python 3.11+ for tomllib).
"""
from __future__ import annotations

import re
import tomllib
import uuid
from dataclasses import dataclass, field
from pathlib import Path

import catalog_formats
from codegen_common import GeneratorError

# Value types of parameters and properties, beside enumeration and interface names.
SCALARS = {"long", "short", "int64", "double", "BSTR", "VARIANT_BOOL", "VARIANT"}
ARRAY_RE = re.compile(r"^SAFEARRAY\((double|short|long|BYTE)\)$")
DIRS = ("in", "out", "inout", "retval")
KINDS = ("get", "put", "method")
# How a member behaves once the call frame has done its checks. The default comes from the row:
# `forward` -> forward, `query`/`command` -> generic; `hook`, `navigation` and `collection` are
# written out. A member with none of them has no behaviour, which is an error.
IMPLS = ("generic", "hook", "forward", "navigation", "collection")
IDENT_RE = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
GUID_RE = re.compile(r"^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$")
ENUM_RULES = ("zero", "one", "explicit")
INT32_MIN, UINT32_MAX = -(2**31), 2**32 - 1


class CatalogError(GeneratorError):
    pass


# ---------------------------------------------------------------------------------------------
# Locating tables in the source text. tomllib keeps no positions, so each file is pre-scanned
# for its [[array.of.tables]] headers and `key =` lines; an error then points at the header of
# the table it concerns, or at the key's own line when the key is present.

HEADER_RE = re.compile(r"^\s*\[\[\s*([A-Za-z0-9_.]+)\s*\]\]")
TABLE_RE = re.compile(r"^\s*\[\s*([A-Za-z0-9_.]+)\s*\]\s*(#.*)?$")
KEY_RE = re.compile(r"^\s*([A-Za-z0-9_]+)\s*=")


class SourceMap:
    def __init__(self, path: Path, text: str):
        self.path = path
        # path "interface" -> [line, ...]; "interface.member" -> [[line, ...] per interface]
        self.headers: dict[str, list] = {}
        self.keys: dict[int, dict[str, int]] = {}  # header line -> key -> line
        self.tables: dict[str, int] = {}  # [single.table] -> line
        current = 0
        for n, line in enumerate(text.splitlines(), 1):
            m = HEADER_RE.match(line)
            if m:
                current = n
                name = m.group(1)
                parts = name.split(".")
                if len(parts) == 1:
                    self.headers.setdefault(name, []).append(n)
                else:
                    parent = ".".join(parts[:-1])
                    siblings = self.headers.setdefault(name, [])
                    while len(siblings) < len(self.headers.get(parent, [])):
                        siblings.append([])
                    if not siblings:
                        siblings.append([])
                    siblings[-1].append(n)
                continue
            t = TABLE_RE.match(line)
            if t:
                current = n
                self.tables[t.group(1)] = n
                continue
            k = KEY_RE.match(line)
            if k:
                self.keys.setdefault(current, {}).setdefault(k.group(1), n)

    def table_key(self, table: str, key: str) -> int:
        n = self.tables.get(table, 0)
        return self.keys.get(n, {}).get(key, n or 1)

    def line(self, table: str, index: int, sub: int | None = None, key: str | None = None) -> int:
        try:
            if sub is None:
                n = self.headers[table][index]
            else:
                n = self.headers[table][index][sub]
        except (KeyError, IndexError):
            return 1
        if key is not None:
            return self.keys.get(n, {}).get(key, n)
        return n


@dataclass
class Where:
    src: SourceMap
    line: int

    def __str__(self):
        return f"{self.src.path}:{self.line}"


# ---------------------------------------------------------------------------------------------
# The model.


@dataclass
class Param:
    name: str
    type: str
    dir: str = "in"


@dataclass
class Member:
    kind: str  # get / put / method
    name: str  # property or method name, without get_/put_
    params: list  # list[Param]; for properties the value parameter Val is included (last)
    type: str | None  # property value type
    key: str | None  # property key, None when the property has none
    sim: object
    exclude_families: list
    exclude_models: list
    needs_connection: bool
    impl: str
    query: str | None
    response: str | None
    command: str | None
    forward: str | None  # forward: "<Interface>.<name>" of the same object, same parameters
    comment: str | None
    where: Where
    null_checks: bool = True
    interface: "Interface" = None
    refusals: list = field(default_factory=list)  # list[Refusal] of a putter's values


    @property
    def entry_name(self) -> str:
        return f"{self.kind}_{self.name}" if self.kind in ("get", "put") else self.name


@dataclass
class Refusal:
    """A value of an enumeration putter that some families or models lack: the hook refuses it
    naming the feature. `interface` takes the guard of that interface's members instead of
    repeating it."""
    word: str
    value: int
    feature: str
    families: list
    models: list


@dataclass
class Interface:
    name: str
    iid: str
    base: str
    coclass: str
    entries: int
    members: list
    ivi: bool
    where: Where
    area: str
    library: str | None = None

    @property
    def entered(self) -> int:
        return len(self.members)


@dataclass
class EnumMember:
    word: str
    value: int

@dataclass
class Enum:
    name: str
    prefix: str
    rule: str
    members: list  # list[EnumMember]
    imported: bool
    where: Where
    comment: str | None = None
    library: str | None = None  # the type library of an imported enumeration

    def member_name(self, word):
        return self.prefix + word


@dataclass
class Coclass:
    name: str
    clsid: str
    default: str
    count: int
    where: Where
    interfaces: list = field(default_factory=list)  # filled from the interfaces' coclass


@dataclass
class External:
    name: str
    library: str
    where: Where


@dataclass
class TypeLib:
    """An IVI type library the driver's library imports (ivi.toml's [[typelib]] tables)."""
    name: str
    file: str
    libid: str
    version: str
    helpstring: str
    imports: list
    where: Where


@dataclass
class Catalog:
    library: dict
    coclasses: dict
    interfaces: dict  # name -> Interface, in type-library order for driver interfaces
    enums: dict
    externals: dict
    typelib_order: list
    families: tuple
    models: tuple
    typelibs: dict = field(default_factory=dict)  # name -> TypeLib, imported ones in import order

    @property
    def driver_interfaces(self):
        return [self.interfaces[n] for n in self.typelib_order if n in self.interfaces]

    @property
    def ivi_interfaces(self):
        return [i for i in self.interfaces.values() if i.ivi]

    @property
    def driver_enums(self):
        return [e for e in self.enums.values() if not e.imported]

    def forward_target(self, m):
        """(interface, member) a forward member calls: `forward = "<Interface>.<name>"` names the
        property or method, the entry follows the member's kind. None when it does not resolve."""
        iface_name, _, name = (m.forward or "").partition(".")
        iface = self.interfaces.get(iface_name)
        if iface is None:
            return None
        entry = f"{m.kind}_{name}" if m.kind in ("get", "put") else name
        for i in [iface] + self.base_chain(iface):
            for x in i.members:
                if x.entry_name == entry:
                    return iface, x
        return None

    def base_chain(self, iface):
        chain = []
        while iface.base != "IUnknown":
            iface = self.interfaces[iface.base]
            chain.append(iface)
        return chain


# ---------------------------------------------------------------------------------------------
# Loading.


class _Loader:
    def __init__(self, directory: Path, models_file: Path | None):
        self.dir = directory
        self.errors: list[str] = []
        self.models_file = models_file or directory / "models.toml"
        self.formats = True

    def err(self, where, rule, message):
        self.errors.append(f"{where}: {rule}: {message}")

    def read(self, path: Path):
        text = path.read_text(encoding="utf-8")
        src = SourceMap(path, text)
        try:
            data = tomllib.loads(text)
        except tomllib.TOMLDecodeError as e:
            m = re.search(r"line (\d+)", str(e))
            self.err(Where(src, int(m.group(1)) if m else 1), "syntax", str(e))
            return src, {}
        return src, data

    # -- files ---------------------------------------------------------------------------------

    def load(self) -> Catalog:
        families, models = self.load_models()
        lib_path = self.dir / "library.toml"
        if not lib_path.exists():
            raise CatalogError([f"{lib_path}:1: missing-file: the catalogue needs library.toml"])
        src, lib = self.read(lib_path)
        library = lib.get("library", {})
        self.check_library(src, library)
        coclasses = {}
        for i, c in enumerate(lib.get("coclass", [])):
            w = Where(src, src.line("coclass", i))
            for k in ("name", "clsid", "default", "count"):
                if k not in c:
                    self.err(w, "missing-field", f"coclass needs '{k}'")
            if c.get("name") in coclasses:
                self.err(w, "duplicate-coclass", f"coclass {c.get('name')} defined twice")
            coclasses[c.get("name")] = Coclass(c.get("name"), self.guid(w, c.get("clsid", ""), "clsid"),
                                               c.get("default", ""), c.get("count", 0), w)
        externals = {}
        for i, x in enumerate(lib.get("external", [])):
            w = Where(src, src.line("external", i))
            externals[x["name"]] = External(x["name"], x.get("library", ""), w)
        typelib_order = list(library.get("interface_order", []))

        enums: dict[str, Enum] = {}
        ivi_path = self.dir / "ivi.toml"
        for path in sorted(self.dir.glob("enums*.toml")) + ([ivi_path] if ivi_path.exists() else []):
            self.load_enums(path, enums)

        interfaces: dict[str, Interface] = {}
        typelibs: dict[str, TypeLib] = {}
        if ivi_path.exists():
            self.load_interfaces(ivi_path, interfaces, enums, ivi=True)
            self.load_typelibs(ivi_path, typelibs)
        for path in sorted(self.dir.glob("interfaces-*.toml")):
            self.load_interfaces(path, interfaces, enums, ivi=False)

        cat = Catalog(library, coclasses, interfaces, enums, externals, typelib_order, families, models, typelibs)
        self.check_catalog(cat, src)
        self.check_imports(cat)
        if self.errors:
            raise CatalogError(self.errors)
        return cat

    def load_models(self):
        """(families, model ids) of models.toml: its [[family]] tables and the families its
        models name. Without the file every guard name is unknown."""
        if not self.models_file.exists():
            return (), ()
        with open(self.models_file, "rb") as f:
            data = tomllib.load(f)
        named = [x.get("name") for x in data.get("family", [])] + [m["family"] for m in data.get("model", [])]
        return tuple(dict.fromkeys(named)), tuple(m["id"] for m in data.get("model", []))

    def guid(self, where, text, what):
        if not isinstance(text, str) or not GUID_RE.match(text):
            self.err(where, "bad-guid", f"{what} '{text}' is not a GUID (8-4-4-4-12 hex digits)")
            return "00000000-0000-0000-0000-000000000000"
        return text.upper()

    def check_library(self, src, lib):
        w = Where(src, src.tables.get("library", 1))
        for k in ("name", "helpstring", "libid", "version", "lcid"):
            if k not in lib:
                self.err(w, "missing-field", f"[library] needs '{k}'")
        if "libid" in lib:
            lib["libid"] = self.guid(w, lib["libid"], "libid")

    # -- enumerations --------------------------------------------------------------------------

    def load_enums(self, path, enums):
        src, data = self.read(path)
        for i, e in enumerate(data.get("enum", [])):
            w = Where(src, src.line("enum", i))
            name = e.get("name", "")
            imported = bool(e.get("imported", False))
            if not IDENT_RE.match(name) or not name.endswith("Enum"):
                self.err(w, "enum-name", f"enumeration name '{name}' must be an identifier ending in 'Enum'")
                continue
            if not imported and not name.startswith("Korvane"):
                self.err(w, "enum-name", f"driver enumeration '{name}' must begin with 'Korvane'")
            if name in enums:
                self.err(w, "duplicate-enum", f"enumeration {name} defined twice (first at {enums[name].where})")
                continue
            rule = e.get("rule")
            prefix = e.get("prefix", name[: -len("Enum")])
            members = []
            raw = e.get("members", [])
            wm = Where(src, src.line("enum", i, key="members"))
            if rule not in ENUM_RULES:
                self.err(Where(src, src.line("enum", i, key="rule")), "enum-rule",
                         f"{name}: rule '{rule}' is not one of {', '.join(ENUM_RULES)}")
                continue
            if not raw:
                self.err(wm, "enum-empty", f"{name} has no members")
            for j, m in enumerate(raw):
                if rule == "explicit":
                    if not (isinstance(m, list) and len(m) == 2 and isinstance(m[0], str) and isinstance(m[1], int)):
                        self.err(wm, "enum-value", f"{name}: explicit member {m!r} must be [\"Word\", value]")
                        continue
                    word, value = m
                else:
                    if not isinstance(m, str):
                        self.err(wm, "enum-value",
                                 f"{name}: rule '{rule}' numbers its members itself; write the word only, not {m!r}")
                        continue
                    word, value = m, j + (1 if rule == "one" else 0)
                members.append(EnumMember(word, value))
            seen_words, seen_values = {}, {}
            for m in members:
                full = prefix + m.word
                if not IDENT_RE.match(full):
                    self.err(wm, "enum-member", f"{name}: member '{full}' is not an identifier")
                if m.word in seen_words:
                    self.err(wm, "enum-member", f"{name}: member word '{m.word}' appears twice")
                if m.value in seen_values:
                    self.err(wm, "enum-value",
                             f"{name}: {full} = {m.value} repeats the value of {prefix}{seen_values[m.value]}")
                if not INT32_MIN <= m.value <= UINT32_MAX:
                    self.err(wm, "enum-value", f"{name}: {full} = {m.value} does not fit 32 bits")
                seen_words[m.word] = True
                seen_values[m.value] = m.word
            enums[name] = Enum(name, prefix, rule, members, imported, w, e.get("comment"), e.get("library"))

    # -- imported type libraries ---------------------------------------------------------------

    def load_typelibs(self, path, typelibs):
        src, data = self.read(path)
        for i, t in enumerate(data.get("typelib", [])):
            w = Where(src, src.line("typelib", i))
            for k in ("name", "file", "libid", "version", "helpstring"):
                if k not in t:
                    self.err(w, "missing-field", f"typelib {t.get('name', '?')} needs '{k}'")
            if t.get("name") in typelibs:
                self.err(w, "duplicate-typelib", f"typelib {t.get('name')} defined twice")
                continue
            imports = list(t.get("imports", []))
            for n in imports:
                if n not in typelibs:
                    self.err(w, "typelib-import", f"{t.get('name')} imports {n}, which is not defined before it")
            typelibs[t.get("name")] = TypeLib(t.get("name", ""), t.get("file", ""),
                                              self.guid(w, t.get("libid", ""), "libid"), str(t.get("version", "")),
                                              t.get("helpstring", ""), imports, w)

    def check_imports(self, cat):
        """Every IVI interface and imported enumeration belongs to one of the imported libraries."""
        for what, items in (("interface", [i for i in cat.interfaces.values() if i.ivi]),
                            ("enumeration", [e for e in cat.enums.values() if e.imported])):
            for x in items:
                if x.library not in cat.typelibs:
                    self.err(x.where, "typelib-member",
                             f"IVI {what} {x.name} names library '{x.library}', which ivi.toml does not define")
        if self.errors:
            raise CatalogError(self.errors)

    # -- interfaces ----------------------------------------------------------------------------

    def load_interfaces(self, path, interfaces, enums, ivi):
        src, data = self.read(path)
        area = path.stem.removeprefix("interfaces-")
        for i, t in enumerate(data.get("interface", [])):
            w = Where(src, src.line("interface", i))
            name = t.get("name", "")
            for k in ("name", "iid", "base", "coclass", "entries"):
                if k not in t:
                    self.err(w, "missing-field", f"interface {name or '?'} needs '{k}'")
            if not IDENT_RE.match(name):
                continue
            if name in interfaces:
                self.err(w, "duplicate-interface",
                         f"interface {name} defined twice (first at {interfaces[name].where})")
                continue
            iid = self.guid(Where(src, src.line("interface", i, key="iid")), t.get("iid", ""), "iid")
            iface = Interface(name, iid, t.get("base", "IUnknown"), t.get("coclass", ""),
                              t.get("entries", 0), [], ivi, w, area, t.get("library"))
            for j, m in enumerate(t.get("member", [])):
                self.load_member(src, i, j, m, iface)
            interfaces[name] = iface

    def load_member(self, src, i, j, m, iface):
        def at(key):
            return Where(src, src.line("interface.member", i, j, key)) if key else w

        w = Where(src, src.line("interface.member", i, j))
        kind = m.get("kind")
        name = m.get("name", "")
        if not IDENT_RE.match(name):
            self.err(w, "member-name", f"{iface.name}: member name '{name}' is not an identifier")
            return
        if kind == "property":
            access = m.get("access", "rw")
            if access not in ("r", "w", "rw"):
                self.err(at("access"), "property-access", f"{iface.name}.{name}: access '{access}' is not r, w or rw")
                return
            kinds = [k for k, a in (("get", "r"), ("put", "w")) if a in access]
        elif kind in KINDS:
            kinds = [kind]
        else:
            self.err(at("kind"), "member-kind",
                     f"{iface.name}.{name}: kind '{kind}' is not get, put, method or property")
            return
        for k in kinds:
            self.build_member(at, w, m, k, name, iface)

    def build_member(self, at, w, m, kind, name, iface):
        params = []
        for p in m.get("params", []):
            if not isinstance(p, dict) or "name" not in p or "type" not in p:
                self.err(at("params"), "param", f"{iface.name}.{name}: parameter {p!r} needs name and type")
                return
            params.append(Param(p["name"], p["type"], p.get("dir", "in")))
        vtype = m.get("type")
        is_prop = kind in ("get", "put")
        if is_prop:
            if vtype is None:
                self.err(at("type"), "missing-field", f"{iface.name}.{name}: a property needs 'type'")
                return
            params.append(Param(m.get("value_name", "Val"), vtype, "retval" if kind == "get" else "in"))
        elif vtype is not None:
            self.err(at("type"), "method-type", f"{iface.name}.{name}: a method returns through its params, not 'type'")
        if is_prop:
            key = m.get("key", f"{iface.name}.{name}")
            key = key or None  # key = "" : a property without a cache entry
        else:
            key = m.get("key")
        impl = m.get("impl", default_impl(m))
        needs = m.get("needs_connection", not (kind == "get" and impl == "navigation"))
        member = Member(kind, name, params, vtype, key, m.get("sim"), list(m.get("exclude_families", [])),
                        list(m.get("exclude_models", [])), bool(needs), impl, m.get("query"),
                        m.get("response"), m.get("command"), m.get("forward"), m.get("comment"), w,
                        # Collection members check their own pointers: a null one is E_POINTER.
                        bool(m.get("null_checks", impl != "collection")), iface)
        # Put rows of an rw property carry their own formats only when given as put_command.
        if kind == "put" and m.get("kind") == "property":
            member.query = member.response = None
            member.needs_connection = bool(m.get("needs_connection", True))
        if kind == "get" and m.get("kind") == "property":
            member.command = None
        member.at = at
        member.raw_refusals = m.get("refuse_values", []) if kind == "put" else []
        iface.members.append(member)

    # -- whole-catalogue rules -----------------------------------------------------------------

    def check_catalog(self, cat: Catalog, libsrc):
        order_w = Where(libsrc, libsrc.table_key("library", "interface_order"))
        seen = set()
        for n in cat.typelib_order:
            if n in seen:
                self.err(order_w, "typelib-order", f"{n} listed twice in interface_order")
            seen.add(n)
            if n not in cat.interfaces:
                self.err(order_w, "typelib-order", f"{n} in interface_order has no [[interface]] table")
            elif cat.interfaces[n].ivi:
                self.err(order_w, "typelib-order", f"{n} is an IVI interface; interface_order lists driver interfaces")
        for iface in cat.interfaces.values():
            if not iface.ivi and iface.name not in seen:
                self.err(iface.where, "typelib-order", f"{iface.name} is missing from interface_order in library.toml")

        position = {n: k for k, n in enumerate(cat.typelib_order)}
        for iface in cat.interfaces.values():
            self.check_interface(cat, iface, position)
        for c in cat.coclasses.values():
            c.interfaces = [i.name for i in cat.interfaces.values() if i.coclass == c.name]
            if len(c.interfaces) != c.count:
                self.err(c.where, "coclass-count",
                         f"{c.name} declares {c.count} interfaces but {len(c.interfaces)} name it as their coclass")
            d = cat.interfaces.get(c.default)
            if d is None or d.coclass != c.name:
                self.err(c.where, "coclass-default", f"{c.name}: default interface {c.default} is not one of its own")
        if self.formats:
            self.check_formats(cat)
        # Enumerators share the global scope of the header, so names must be unique across enums.
        owners = {}
        for e in cat.enums.values():
            for m in e.members:
                full = e.member_name(m.word)
                if full in owners and owners[full] != e.name:
                    self.err(e.where, "enum-member", f"{e.name}: member {full} is also a member of {owners[full]}")
                owners.setdefault(full, e.name)
        guids = {}
        for iface in cat.interfaces.values():
            if iface.iid in guids:
                self.err(iface.where, "duplicate-guid", f"{iface.name} reuses the IID of {guids[iface.iid]}")
            guids[iface.iid] = iface.name
        for c in cat.coclasses.values():
            if c.clsid in guids:
                self.err(c.where, "duplicate-guid", f"{c.name} reuses the GUID of {guids[c.clsid]}")
            guids[c.clsid] = c.name

    def check_formats(self, cat):
        # The item objects are those a collection hands out; their commands start with the index.
        items = {cat.interfaces[m.type].coclass for i in cat.interfaces.values() for m in i.members
                 if m.impl == "collection" and m.type in cat.interfaces}
        maps = None
        tokens = self.dir / "enum-tokens.toml"
        if tokens.exists():
            _, data = self.read(tokens)
            maps = {name for table in data.values() if isinstance(table, dict) for name in table}
        for iface in cat.interfaces.values():
            for m in iface.members:
                if not all(self.type_known(cat, p.type) for p in m.params):
                    continue
                for key, message in catalog_formats.check_member(cat, m, iface.coclass in items, maps):
                    self.err(m.at(key), "format", f"{iface.name}::{m.entry_name}: {message}")

    def type_known(self, cat, t):
        return t in SCALARS or ARRAY_RE.match(t) or t in cat.enums or t in cat.interfaces or t in cat.externals

    def check_interface(self, cat, iface, position):
        if iface.coclass not in cat.coclasses:
            self.err(iface.where, "unknown-coclass", f"{iface.name}: coclass '{iface.coclass}' is not in library.toml")
        if iface.base != "IUnknown":
            base = cat.interfaces.get(iface.base)
            if base is None:
                self.err(iface.where, "unknown-base", f"{iface.name}: base interface '{iface.base}' is not defined")
            else:
                # An interface extends an earlier one; this also rules out cycles.
                if not base.ivi and not iface.ivi and position.get(base.name, 0) >= position.get(iface.name, 0):
                    self.err(iface.where, "base-order", f"{iface.name} extends {base.name}, which comes later in the library")
                if iface.ivi and base.ivi is False:
                    self.err(iface.where, "unknown-base", f"{iface.name}: an IVI interface cannot extend {base.name}")
        # A partial vtable would be a wrong ABI: every declared entry must be in the catalogue.
        if iface.entered != iface.entries:
            self.err(iface.where, "entry-count",
                     f"{iface.name} declares {iface.entries} entries but {iface.entered} are entered")
        names = {}
        inherited = {m.entry_name for b in self._safe_chain(cat, iface) for m in b.members}
        for m in iface.members:
            self.check_member(cat, iface, m)
            if m.entry_name in names or m.entry_name in inherited:
                self.err(m.where, "duplicate-member", f"{iface.name}::{m.entry_name} appears twice")
            names[m.entry_name] = m

    def _safe_chain(self, cat, iface):
        chain, seen = [], {iface.name}
        while iface.base in cat.interfaces and iface.base not in seen:
            iface = cat.interfaces[iface.base]
            seen.add(iface.name)
            chain.append(iface)
        return chain

    def check_member(self, cat, iface, m):
        at = m.at
        full = f"{iface.name}::{m.entry_name}"
        pnames = set()
        for k, p in enumerate(m.params):
            if not self.type_known(cat, p.type):
                self.err(at("type" if (m.kind != "method" and k == len(m.params) - 1) else "params"),
                         "unknown-type", f"{full}: parameter {p.name} has unknown type '{p.type}'")
            if p.dir not in DIRS:
                self.err(at("params"), "param", f"{full}: parameter {p.name}: direction '{p.dir}' is not one of {DIRS}")
            if p.dir == "retval" and k != len(m.params) - 1:
                self.err(at("params"), "param", f"{full}: the retval parameter {p.name} must come last")
            if p.name in pnames:
                self.err(at("params"), "param", f"{full}: parameter name {p.name} appears twice")
            pnames.add(p.name)
        if m.kind in ("get", "put"):
            expected = f"{iface.name}.{m.name}"
            if m.key is not None and m.key != expected:
                self.err(at("key"), "property-key", f"{full}: key '{m.key}' does not match its interface (expected '{expected}')")
        elif m.key is not None:
            self.err(at("key"), "property-key", f"{full}: a method has no property key")
        for fam in m.exclude_families:
            if fam not in cat.families:
                self.err(at("exclude_families"), "unknown-family", f"{full}: guard names unknown family '{fam}'")
        for mod in m.exclude_models:
            if cat.models and mod not in cat.models:
                self.err(at("exclude_models"), "unknown-model", f"{full}: guard names unknown model '{mod}'")
        if m.forward is not None and m.impl != "forward":
            self.err(at("forward"), "forward", f"{full}: 'forward' goes with impl forward, not {m.impl}")
        if m.impl is None:
            self.err(m.where, "no-behaviour", f"{full} has no behaviour: give it query/response or command "
                                              "(generic), forward, or impl = \"hook\" and write the hook")
        elif m.impl not in IMPLS:
            self.err(at("impl"), "impl-kind", f"{full}: impl '{m.impl}' is not one of {', '.join(IMPLS)}")
        elif m.impl == "navigation":
            target = cat.interfaces.get(m.type or "")
            if m.kind != "get" or target is None:
                self.err(at("impl"), "navigation", f"{full}: a navigation member is a getter returning an interface")
            elif target.coclass != iface.coclass:
                self.err(at("impl"), "navigation",
                         f"{full}: {target.name} belongs to {target.coclass}, not to the same object ({iface.coclass})")
        elif m.impl == "forward":
            self.check_forward(cat, iface, m, full, at)
        elif m.impl == "generic":
            if m.kind == "get" and not (m.query and m.response):
                self.err(at("impl"), "generic-format", f"{full}: a generic getter needs 'query' and 'response'")
            if m.kind in ("put", "method") and not (m.command or (m.query and m.response)):
                self.err(at("impl"), "generic-format", f"{full}: a generic {m.kind} needs 'command'")
        if m.sim is not None:
            self.check_sim(cat, m, full, at)
        if m.raw_refusals:
            self.check_refusals(cat, m, full, at("refuse_values"))

    def check_forward(self, cat, iface, m, full, at):
        w = at("forward")
        found = cat.forward_target(m) if m.forward else None
        if found is None:
            self.err(w, "forward", f"{full}: forward '{m.forward}' names no {m.kind} of a known interface")
            return
        target, x = found
        if target.coclass != iface.coclass:
            self.err(w, "forward", f"{full}: {target.name} belongs to {target.coclass}, not to the same object")
        if x.impl == "forward":
            self.err(w, "forward", f"{full}: {target.name}::{x.entry_name} forwards itself")
        if [(p.type, p.dir) for p in m.params] != [(p.type, p.dir) for p in x.params]:
            self.err(w, "forward", f"{full}: parameters differ from {target.name}::{x.entry_name}; write a hook")

    def check_refusals(self, cat, m, full, w):
        enum = cat.enums.get(m.type or "")
        if enum is None:
            self.err(w, "refuse-values", f"{full}: refused values need an enumeration value type")
            return
        for r in m.raw_refusals:
            word = r.get("value")
            value = next((x.value for x in enum.members if x.word == word), None)
            if value is None or not isinstance(r.get("feature"), str):
                self.err(w, "refuse-values", f"{full}: {r!r} needs a value of {enum.name} and a feature")
                continue
            families, models = list(r.get("exclude_families", [])), list(r.get("exclude_models", []))
            if "interface" in r:
                guards = {(tuple(x.exclude_families), tuple(x.exclude_models))
                          for x in getattr(cat.interfaces.get(r["interface"]), "members", [])}
                if len(guards) != 1:
                    self.err(w, "refuse-values", f"{full}: {word}: interface '{r['interface']}' has no one guard "
                                                 "shared by all its members")
                    continue
                families, models = (list(x) for x in guards.pop())
            bad = [f for f in families if f not in cat.families] + [x for x in models if x not in cat.models]
            if bad or not (families or models):
                self.err(w, "refuse-values", f"{full}: {word}: refused on unknown or no families and models {bad}")
            m.refusals.append(Refusal(word, value, r["feature"], families, models))

    def check_sim(self, cat, m, full, at):
        t, v = m.type, m.sim
        if m.kind != "get":
            return
        ok = True
        if t in ("long", "short", "int64"):
            ok = isinstance(v, int) and not isinstance(v, bool)
        elif t == "double":
            ok = isinstance(v, (int, float)) and not isinstance(v, bool)
        elif t == "VARIANT_BOOL":
            ok = isinstance(v, bool)
        elif t == "BSTR":
            ok = isinstance(v, str)
        elif t in cat.enums:
            e = cat.enums[t]
            ok = (isinstance(v, str) and any(x.word == v for x in e.members)) or \
                 (isinstance(v, int) and any(x.value == v for x in e.members))
        else:
            ok = False
        if not ok:
            self.err(at("sim"), "sim-default", f"{full}: simulation default {v!r} does not fit type {t}")


def default_impl(row) -> str:
    if "forward" in row:
        return "forward"
    if "query" in row or "command" in row:
        return "generic"
    return None


def hook_name(iface, m) -> str:
    """The hand-written function of a hook member, declared by the generator."""
    return f"Impl_{iface.name}_{m.entry_name}"


def load(directory, models_file=None, formats=True) -> Catalog:
    """formats=False skips the format rule, for fixtures that exercise format shapes alone."""
    loader = _Loader(Path(directory), Path(models_file) if models_file else None)
    loader.formats = formats
    return loader.load()


def guid_parts(text: str):
    u = uuid.UUID(text)
    f = u.fields
    return f[0], f[1], f[2], list(u.bytes[8:])
