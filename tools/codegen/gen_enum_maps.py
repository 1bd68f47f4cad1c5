"""Enumeration command maps: checks catalog/enum-tokens.toml against the catalogue and writes
korvane/EnumMaps.inc, the data tables the runtime (src/core/EnumCommand.cpp) builds its
converters from.

    gen_enum_maps.py <catalog dir> <token file> [<output file>]

Without an output file the token file is only checked. Every problem is reported, all in one
run, as "<file>:<line>: <rule>: <message>"; the exit status is 1 when there is any.

The output holds no code per enumeration: one string pool and a few arrays of plain structs
(entries, model maps, uses, variants, enumerations, member names) whose types the runtime declares.

Standard library only (Python 3.11+ for tomllib).
"""
from __future__ import annotations

import re
import sys
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korvane_catalog  # noqa: E402
from codegen_common import GeneratorError, write_if_changed  # noqa: E402

BOOL = "VARIANT_BOOL"
BOOL_WORDS = {"True": -1, "False": 0}
VARIANT_KEYS = {"uses", "model", "map"}
FORMAT_ENUM_RE = re.compile(r"%\s*\{\s*([A-Za-z0-9_]+)\s*\}")


@dataclass
class Entry:
    word: str
    value: int
    tokens: list
    line: int


@dataclass
class ModelMap:
    model: str
    entries: list
    line: int


@dataclass
class Variant:
    uses: tuple | None  # None: every member not named by another variant
    maps: list = field(default_factory=list)
    line: int = 0


@dataclass
class EnumMaps:
    name: str
    variants: list
    line: int


class TokenError(GeneratorError):
    pass


# ---------------------------------------------------------------------------------------------
# Positions. tomllib keeps none, so the text is scanned for the line of each key, each variant
# (an inline table) and each entry (a list starting with a quoted word).

HEADER_RE = re.compile(r"^\s*\[\s*([A-Za-z0-9_.-]+)\s*\]")
KEY_RE = re.compile(r"^([A-Za-z0-9_]+)\s*=")
ENTRY_RE = re.compile(r"\[\s*\"([^\"]*)\"")
VARIANT_RE = re.compile(r"\{")


class Positions:
    def __init__(self, text: str):
        self.keys: dict[str, list[int]] = {}  # key -> lines (one per table it appears in)
        self.spans: dict[tuple[str, int], dict] = {}
        current = None
        for n, line in enumerate(text.splitlines(), 1):
            code = line.split("#", 1)[0]
            if HEADER_RE.match(code):
                current = None
                continue
            m = KEY_RE.match(code)
            if m:
                current = (m.group(1), len(self.keys.setdefault(m.group(1), [])))
                self.keys[m.group(1)].append(n)
                self.spans[current] = {"entries": [], "variants": []}
            if current is None:
                continue
            span = self.spans[current]
            for e in ENTRY_RE.finditer(code):
                span["entries"].append((n, e.group(1)))
            for _ in VARIANT_RE.finditer(code):
                span["variants"].append(n)

    def key_line(self, key: str, occurrence: int = 0) -> int:
        lines = self.keys.get(key, [])
        return lines[occurrence] if occurrence < len(lines) else 1


# ---------------------------------------------------------------------------------------------
# Checking.


def _members_taking(cat, type_name):
    """Interface.Member texts of the members with a parameter or value of the given type."""
    out = set()
    for iface in cat.interfaces.values():
        for m in iface.members:
            if any(p.type == type_name for p in m.params):
                out.add(f"{iface.name}.{m.name}")
    return out


def _format_references(cat):
    refs = {}
    for iface in cat.interfaces.values():
        for m in iface.members:
            for f in (m.query, m.response, m.command):
                for name in FORMAT_ENUM_RE.findall(f or ""):
                    refs.setdefault(name, f"{iface.name}.{m.name}")
    return refs


def check(text: str, path: str, cat) -> list:
    """Returns the checked maps; raises TokenError with every problem found."""
    errors = []

    def err(line, rule, message):
        errors.append(f"{path}:{line}: {rule}: {message}")

    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        m = re.search(r"line (\d+)", str(e))
        raise TokenError([f"{path}:{m.group(1) if m else 1}: syntax: {e}"])
    pos = Positions(text)
    models = set(cat.models)
    seen_keys: dict[str, int] = {}
    result = []

    for table, keys in data.items():
        if not isinstance(keys, dict):
            err(pos.key_line(table), "shape", f"'{table}' must sit in a table of maps")
            continue
        for name, value in keys.items():
            occurrence = seen_keys.get(name, 0)
            seen_keys[name] = occurrence + 1
            line = pos.key_line(name, occurrence)
            span = pos.spans.get((name, occurrence), {"entries": [], "variants": []})
            if occurrence:
                err(line, "duplicate-enum", f"{name} has maps in more than one table")
                continue
            if name == BOOL:
                words = BOOL_WORDS
            elif name in cat.enums and not cat.enums[name].imported:
                words = {m.word: m.value for m in cat.enums[name].members}
            else:
                why = "an IVI enumeration never reaches the instrument" if name in cat.enums else \
                    "not an enumeration of the catalogue"
                err(line, "unknown-enum", f"{name}: {why}")
                continue
            em = _check_enum(name, value, words, line, span, cat, models, err)
            if em:
                result.append(em)

    mapped = {e.name for e in result} | set(seen_keys)
    for name, member in sorted(_format_references(cat).items()):
        if name not in mapped and name != "Values":
            err(1, "missing-map", f"{name} is formatted by {member} but has no map")
    if errors:
        raise TokenError(errors)
    return sorted(result, key=lambda e: e.name.encode())


def _check_enum(name, value, words, line, span, cat, models, err):
    entry_cursor = [0]
    variant_lines = iter(span["variants"])

    def entry_line(word):
        found = span["entries"]
        for k in range(entry_cursor[0], len(found)):
            if found[k][1] == word:
                entry_cursor[0] = k + 1
                return found[k][0]
        return line

    def check_map(raw, where):
        if not isinstance(raw, list) or not raw:
            err(where, "shape", f"{name}: a map is a non-empty list of [\"Word\", \"TOKEN\", ...] entries")
            return None
        entries, values = [], {}
        for item in raw:
            if not (isinstance(item, list) and item and all(isinstance(x, str) for x in item)):
                err(where, "shape", f"{name}: entry {item!r} must be [\"Word\", \"TOKEN\", ...]")
                continue
            word, tokens = item[0], item[1:]
            at = entry_line(word)
            if word not in words:
                err(at, "unknown-word", f"{name} has no member word '{word}'")
                continue
            if words[word] in values:
                err(at, "duplicate-value", f"{name}: '{word}' ({words[word]}) is listed twice in one map "
                                           f"(first as '{values[words[word]]}')")
                continue
            values[words[word]] = word
            for t in tokens:
                if not t or any(c.isspace() for c in t):
                    err(at, "token-space", f"{name}.{word}: token {t!r} is empty or holds white space")
            entries.append(Entry(word, words[word], tokens, at))
        return entries

    if isinstance(value, list) and value and all(isinstance(v, list) for v in value):
        entries = check_map(value, line)
        return EnumMaps(name, [Variant(None, [ModelMap("", entries, line)], line)], line) if entries is not None else None
    if not (isinstance(value, list) and value and all(isinstance(v, dict) for v in value)):
        err(line, "shape", f"{name}: expected a map or a list of {{ uses, model, map }} variants")
        return None

    groups: dict = {}
    owner: dict[str, tuple] = {}
    for v in value:
        vline = next(variant_lines, line)
        extra = set(v) - VARIANT_KEYS
        if extra or "map" not in v:
            err(vline, "shape", f"{name}: a variant has 'map' and optionally 'uses' and 'model'"
                                f"{' (unknown: ' + ', '.join(sorted(extra)) + ')' if extra else ''}")
            continue
        uses = v.get("uses")
        if uses is not None:
            if not (isinstance(uses, list) and uses and all(isinstance(u, str) for u in uses)):
                err(vline, "shape", f"{name}: 'uses' is a non-empty list of \"Interface.Member\" texts")
                continue
            takers = _members_taking(cat, name)
            for u in uses:
                if u and u not in takers:
                    err(vline, "unknown-use", f"{name}: '{u}' is not a member of the catalogue that takes {name}")
            key = tuple(uses)
        else:
            key = None
        model = v.get("model", "")
        if not isinstance(model, str) or (model and model not in models):
            err(vline, "unknown-model", f"{name}: model {model!r} is not in models.toml")
            continue
        entries = check_map(v["map"], vline)
        if entries is None:
            continue
        group = groups.get(key)
        if group is None:
            for u in (key or (None,)):
                if u in owner:
                    what = "the map for every other member" if u is None else f"'{u}'"
                    err(vline, "duplicate-use", f"{name}: {what} is given by two variants")
                owner[u] = key
            group = groups[key] = Variant(key, [], vline)
        if any(m.model == model for m in group.maps):
            err(vline, "duplicate-model", f"{name}: two maps for model '{model}' in one variant")
            continue
        group.maps.append(ModelMap(model, entries, vline))
    for g in groups.values():
        if not any(m.model == "" for m in g.maps):
            err(g.line, "no-default", f"{name}: a variant needs a map for the empty model")
    return EnumMaps(name, list(groups.values()), line)


# ---------------------------------------------------------------------------------------------
# Output.


class Pool:
    """One NUL-separated character array; equal strings share their offset."""

    def __init__(self):
        self.text = bytearray()
        self.index: dict[str, int] = {}

    def add(self, s: str) -> int:
        if s not in self.index:
            self.index[s] = len(self.text)
            self.text += s.encode("ascii") + b"\0"
        return self.index[s]


def _c_literal_lines(data: bytes, width: int = 100):
    lines, cur = [], ""
    for k, b in enumerate(data):
        ch = chr(b)
        # A digit after the NUL would extend the octal escape, so that one is written in full.
        nul = "\\000" if k + 1 < len(data) and chr(data[k + 1]).isdigit() else "\\0"
        piece = nul if b == 0 else ("\\" + ch if ch in "\"\\" else ch)
        cur += piece
        if b == 0 and len(cur) >= width:
            lines.append(cur)
            cur = ""
    if cur:
        lines.append(cur)
    return lines


def _int32(value: int) -> int:
    """Values above 0x7FFFFFFF (HRESULT-like members) as the 32-bit pattern they stand for."""
    return value - 2**32 if value > 2**31 - 1 else value


def render(maps: list, cat) -> str:
    pool = Pool()
    pool.add("")
    tokens, entries, model_maps, uses, variants, enums, names = [], [], [], [], [], [], []
    by_name = {m.name: m for m in maps}
    # Names of every enumeration of the catalogue (driver and IVI): messages name IVI values too.
    all_names = sorted(set(by_name) | set(cat.enums), key=str.encode)
    for name in all_names:
        em = by_name.get(name)
        first_variant = len(variants)
        for v in (em.variants if em else []):
            first_map = len(model_maps)
            # Maps of named models first and the empty model last: selection falls back to it.
            for mm in sorted(v.maps, key=lambda m: (m.model == "", m.model)):
                first_entry = len(entries)
                for e in mm.entries:
                    entries.append((_int32(e.value), len(tokens), len(e.tokens)))
                    tokens.extend(pool.add(t) for t in e.tokens)
                model_maps.append((pool.add(mm.model), first_entry, len(mm.entries)))
            first_use = len(uses)
            uses.extend(pool.add(u) for u in (v.uses or ()))
            variants.append((first_map, len(model_maps) - first_map, first_use, len(v.uses or ())))
        first_name = len(names)
        en = cat.enums.get(name)
        prefix = pool.add(en.prefix) if en else 0
        for m in (en.members if en else []):
            names.append((_int32(m.value), pool.add(m.word)))
        enums.append((pool.add(name), prefix, first_variant, len(variants) - first_variant,
                      first_name, len(names) - first_name))

    out = ["// Generated by tools/codegen/gen_enum_maps.py from catalog/enum-tokens.toml. Do not edit.",
           "// Included by src/core/EnumCommand.cpp, which declares the row types.", "",
           "namespace korvane::enummaps {", "",
           "inline constexpr char kPool[] ="]
    out += [f'    "{line}"' for line in _c_literal_lines(bytes(pool.text))]
    out[-1] += ";"

    def table(ctype, name, rows, per_line):
        out.append(f"inline constexpr {ctype} {name}[] = {{")
        for k in range(0, len(rows), per_line):
            chunk = rows[k:k + per_line]
            if isinstance(chunk[0], tuple):
                out.append("    " + " ".join("{" + ", ".join(str(x) for x in r) + "}," for r in chunk))
            else:
                out.append("    " + " ".join(f"{r}," for r in chunk))
        out.append("};")

    table("std::uint32_t", "kTokens", tokens or [0], 16)
    table("EntryRow", "kEntries", entries, 8)
    table("MapRow", "kMaps", model_maps, 8)
    table("std::uint32_t", "kUses", uses or [0], 16)
    table("VariantRow", "kVariants", variants, 6)
    table("EnumRow", "kEnums", enums, 3)
    table("NameRow", "kNames", names, 8)
    out += ["", "}  // namespace korvane::enummaps", ""]
    return "\n".join(out)


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    catalog_dir, token_path = argv[1], argv[2]
    try:
        cat = korvane_catalog.load(catalog_dir)
        maps = check(Path(token_path).read_text(encoding="utf-8"), token_path, cat)
    except (korvane_catalog.CatalogError, TokenError) as e:
        print("\n".join(e.errors), file=sys.stderr)
        return 1
    if len(argv) == 4:
        write_if_changed(Path(argv[3]), render(maps, cat))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
