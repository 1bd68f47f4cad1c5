"""The simulator's generated settings: every generic property with both a command and a query
becomes a stored setting of korvane-scope-sim.

    gen_sim_settings.py <catalog dir> <output file> [--tokens <enum-tokens.toml>] [--report]

The output (korvane/SimSettings.inc) is one data array of SettingRow initialisers, written with
the helper G(pattern, type, default, tokens, instances, flags) that sim/SettingsTable.cpp
defines before including it, plus a comment listing the formats that were left out and why.
The simulator loads these rows after its hand-made ones; a hand-made row for the same header
wins, being richer (ranges, coupled pairs, per-model sources).

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
from codegen_common import cxx_string as c_string, write_if_changed  # noqa: E402

# Repeated capabilities written into headers as a numeric suffix: instance count per family
# (max over the families that models.toml lists), or the per-model keywords the simulator
# expands itself (analog channels 1..N, digital channels 0..M-1).
PER_CHANNEL, PER_DIGITAL = "kPerChannel", "kPerDigital"
REPCAPS = {
    "CHAN": PER_CHANNEL,
    "DIG": PER_DIGITAL,
    "FUNC": {"Dovin": 4, "Efrai": 4, "*": 2},
    "WGEN": {"Dovin": 2, "Efrai": 2, "*": 1},
    "SBUS": {"Bormo": 1, "Avel": 1, "*": 2},
}

# Long words of the instrument's command tree. A header node gets a long form only when its
# short form is the standard abbreviation of exactly one of these (see scpi_short); short forms
# with two plausible long words (COUN: count or counter, TIM: timebase or timeout) stay short.
LONG_WORDS = """
ACQUIRE ADDRESS ALIGNMENT AMPLITUDE ANNOTATION AVERAGE BURST BYTEORDER CALIBRATE CENTER CHANNEL
CLOCK COLOR CONDITION COUPLING CURSOR DCYCLE DEFINE DELAY DEPTH DEVIATION DIFFERENTIAL DISPLAY
ENABLE ERROR EVENT EXTERNAL FACTOR FORMAT FREQUENCY FUNCTION GLITCH GREATERTHAN HISTOGRAM
HORIZONTAL IMAGE IMPEDANCE INPUT INVERT LABEL LENGTH LESSTHAN LEVEL MARKER MAXIMUM MEASURE
MESSAGE MINIMUM MODULATION MTEST NOISE OFFSET OUTPUT PARITY PATTERN PERIOD PERSISTENCE PHASE
POINTS POLARITY POSITION PRECISION PROBE PROTECTION PULSE QUALIFIER RANDOM RANGE REFERENCE REJECT
SCALE SEARCH SEGMENTED SERIAL SETUP SIDEBAR SIGNAL SLOPE SOURCE SPEED SQUARE STANDARD
START SWEEP SYMBOLIC SYSTEM THRESHOLD TOLERANCE TRANSITION TREND TRIGGER UNITS UNSIGNED VALUE
VECTORS VERNIER VERTICAL WAVEFORM WIDTH WINDOW WMEMORY XUNITS YUNITS
""".split()

VOWELS = set("AEIOU")
REAL_RE = re.compile(r"^%[-+ #0]*\d*(\.\d+)?(lf|lg|le|f|g|e)$")
INT_RE = re.compile(r"^%[-+ 0]*\d*(d|ld|hd|Id|I64d|i|u)$")
ENUM_RE = re.compile(r"^%\{\s*([A-Za-z0-9_]+)\s*\}s$")
QSTRING_RE = re.compile(r'^(%\$[BC]qs|"%\$[BC]s")$')
STRING_RE = re.compile(r"^%\$[BC]s$")
SUFFIX_RE = re.compile(r"^([A-Z][A-Z0-9]*?)%h?d$")
NODE_RE = re.compile(r"^[A-Z][A-Z0-9]*$")


def scpi_short(word: str) -> str:
    """The standard short form of a long mnemonic: the first four letters, or three when the
    fourth is a vowel; words of four letters or fewer are their own short form."""
    w = word.upper()
    if len(w) <= 4:
        return w
    return w[:3] if w[3] in VOWELS else w[:4]


def mixed(long_word: str, short: str) -> str:
    """A long word written the way the parser reads it: short form upper case, the rest lower."""
    return short + long_word[len(short):].lower()


def vocabulary(words=LONG_WORDS) -> dict:
    """short form -> mixed-case long form, for the short forms that come from one word only."""
    seen: dict[str, set] = {}
    for w in words:
        seen.setdefault(scpi_short(w), set()).add(w.upper())
    return {s: mixed(next(iter(ws)), s) for s, ws in seen.items() if len(ws) == 1 and len(next(iter(ws))) > len(s)}


@dataclass
class Row:
    header: str  # pattern text, ':' nodes, '#' for the suffix
    type: str  # Real Int Bool Enum String Text
    default: str
    tokens: list = field(default_factory=list)  # mixed-case tokens
    instances: object = 0  # int or PER_CHANNEL / PER_DIGITAL
    flags: list = field(default_factory=list)
    members: list = field(default_factory=list)  # "Interface.Member" texts it serves


@dataclass
class Result:
    rows: list
    skipped: list  # (member text, format, reason)
    merged: list  # (header, member texts) served by one row


# ---------------------------------------------------------------------------------------------
# Enumeration tokens


def load_tokens(path: Path | None) -> dict | None:
    """enum name -> list of (uses or None, [(word, [tokens])]) from the token file, or None when
    there is no file (enumeration settings then take any token)."""
    if path is None or not path.exists():
        return None
    data = tomllib.loads(path.read_text(encoding="utf-8"))
    out = {}
    for table in data.values():
        if not isinstance(table, dict):
            continue
        for name, value in table.items():
            variants = []
            if value and isinstance(value[0], dict):
                for v in value:
                    uses = tuple(v["uses"]) if "uses" in v else None
                    variants.append((uses, [(e[0], list(e[1:])) for e in v.get("map", [])]))
            else:
                variants.append((None, [(e[0], list(e[1:])) for e in value]))
            out[name] = variants
    return out


def enum_map(tokens: dict, enum: str, member: str):
    """The entries that serve one member: its own variants (every model's) else the shared ones."""
    variants = tokens.get(enum)
    if variants is None:
        return None
    own = [v for v in variants if v[0] and member in v[0]]
    chosen = own or [v for v in variants if v[0] is None or "" in v[0]] or variants
    entries = []
    for _, ents in chosen:
        entries.extend(ents)
    return entries


def long_token(token: str, word: str, known=frozenset(w.upper() for w in LONG_WORDS)) -> str:
    """'POS' for member Positive -> 'POSitive'. A member word of several parts (PeakDetect,
    OneMeg) says nothing sure about the instrument's long word, so it serves only when it is
    one of the known long words (GreaterThan); tokens that are no abbreviation of their word
    stay as they are (accepted in that form only)."""
    if not NODE_RE.match(token):
        return token
    w = word.upper()
    if (re.fullmatch(r"[A-Z][a-z]+", word) or w in known) and len(w) > len(token) and scpi_short(w) == token:
        return mixed(w, token)
    return token


# ---------------------------------------------------------------------------------------------
# Derivation


def instance_count(prefix: str, families) -> object:
    rule = REPCAPS[prefix]
    if isinstance(rule, str):
        return rule
    return max(rule.get(f, rule["*"]) for f in families) if families else rule["*"]


def derive_header(header: str, vocab: dict, families):
    """':SBUS%d:CAN:SOUR' -> (':SBUS#:CAN:SOURce', instances); raises ValueError when the
    header is none the simulator can store."""
    if not header.startswith(":"):
        raise ValueError("header without a leading ':'")
    nodes, instances = [], 0
    for node in header[1:].split(":"):
        m = SUFFIX_RE.match(node)
        if m:
            if instances:
                raise ValueError("more than one item number in the header")
            if m.group(1) not in REPCAPS:
                raise ValueError(f"item number of unknown repeated capability '{m.group(1)}'")
            instances = instance_count(m.group(1), families)
            base = m.group(1)
            nodes.append(vocab.get(base, base) + "#")
            continue
        if "%" in node or not NODE_RE.match(node.upper()):
            raise ValueError(f"header node '{node}' is not a plain mnemonic")
        up = node.upper()
        nodes.append(vocab.get(up, up))
    return ":" + ":".join(nodes), instances


def value_type(fmt: str, ptype: str, enums):
    """(type, enum name or None) of the argument format; raises ValueError when unsupported."""
    if fmt == "%{VARIANT_BOOL}s" or (ptype == "VARIANT_BOOL" and INT_RE.match(fmt)):
        return "Bool", None
    m = ENUM_RE.match(fmt)
    if m:
        if m.group(1) not in enums:
            raise ValueError(f"unknown enumeration {m.group(1)}")
        return "Enum", m.group(1)
    if REAL_RE.match(fmt):
        return "Real", None
    if INT_RE.match(fmt):
        return "Int", None
    if QSTRING_RE.match(fmt):
        return "String", None
    if STRING_RE.match(fmt):
        return "Text", None
    raise ValueError(f"argument format '{fmt}' is not one value the simulator can store")


def number_text(v) -> str:
    return repr(float(v)) if isinstance(v, float) else str(int(v))


def default_text(kind, sim, entries, enum):
    if kind == "Bool":
        return "1" if sim is True else "0"
    if kind in ("Real", "Int"):
        return number_text(sim) if isinstance(sim, (int, float)) and not isinstance(sim, bool) else "0"
    if kind == "Enum":
        if not entries:
            return ""
        word = sim
        if isinstance(sim, int) and enum is not None:
            word = next((m.word for m in enum.members if m.value == sim), None)
        for w, toks in entries:
            if w == word and toks:
                return toks[0]
        return next((t[0] for _, t in entries if t), "")
    return sim if isinstance(sim, str) else ""


def derive(cat, tokens: dict | None, families=None) -> Result:
    """The settings of a loaded catalogue; `families` are those of models.toml (the
    catalogue's when not given)."""
    families = list(families or cat.families)
    vocab = vocabulary()
    gets, puts = {}, {}
    for iface in cat.driver_interfaces:
        for m in iface.members:
            key = f"{iface.name}.{m.name}"
            if m.kind == "get" and m.query:
                gets[key] = m
            elif m.kind == "put" and m.command:
                puts[key] = m

    rows: dict[str, Row] = {}
    order: list[str] = []
    skipped, merged = [], []
    for key, put in puts.items():
        get = gets.get(key)
        # A property whose either side is generic sends its formats as written; one with both
        # sides hand-written may send something else.
        if get is None or (put.impl != "generic" and get.impl != "generic"):
            continue
        header, _, arg = put.command.strip().partition(" ")
        arg = arg.strip()
        qheader, _, qarg = get.query.strip().partition(" ")
        try:
            if ";" in put.command or ";" in get.query:
                raise ValueError("compound command")
            if qarg.strip():
                raise ValueError("query with arguments")
            if qheader != header + "?":
                raise ValueError(f"query '{get.query}' is not the command header with '?'")
            if len(get.params) != 1 or len(put.params) != 1:
                raise ValueError("more parameters than the value")
            if not arg:
                raise ValueError("command without an argument")
            if "," in arg or arg.count("%") != 1:
                raise ValueError("several arguments")
            kind, enum_name = value_type(arg, put.type, cat.enums)
            pattern, instances = derive_header(header, vocab, families)
        except ValueError as e:
            skipped.append((key, put.command, str(e)))
            continue

        entries = None
        if kind == "Enum" and tokens is not None:
            entries = enum_map(tokens, enum_name, key)
        enum = cat.enums.get(enum_name) if enum_name else None
        toks = []
        for word, ts in entries or []:
            for t in ts:
                lt = long_token(t, word)
                if lt not in toks and not any(x.upper() == t for x in toks):
                    toks.append(lt)
        row = Row(pattern, kind, default_text(kind, get.sim, entries, enum), toks, instances, [], [key])
        if kind == "Enum" and tokens is not None and entries is None:
            skipped.append((key, put.command, f"{enum_name} has no tokens; any token is accepted"))
        ident = pattern.upper()
        if ident in rows:
            row = _merge(rows[ident], row)
            if row is None:
                skipped.append((key, put.command, f"header also set by {rows[ident].members[0]} with another type"))
                continue
            rows[ident] = row
            continue
        rows[ident] = row
        order.append(ident)
    for ident in order:
        if len(rows[ident].members) > 1:
            merged.append((rows[ident].header, rows[ident].members))
    return Result([rows[i] for i in order], skipped, merged)


def _merge(a: Row, b: Row):
    """One header serving two properties: the same type joins token lists; an enumeration and
    a number on one header (a mode or a value) give an enumeration that also takes numbers."""
    if a.type == b.type:
        for t in b.tokens:
            if not any(x.upper() == t.upper() for x in a.tokens):
                a.tokens.append(t)
        a.members += b.members
        return a
    pair = {a.type, b.type}
    if pair in ({"Enum", "Real"}, {"Enum", "Int"}):
        enum_row = a if a.type == "Enum" else b
        enum_row.flags = sorted(set(enum_row.flags) | {"kAlsoNumber"})
        enum_row.members = a.members + b.members
        return enum_row
    return None


def families_of(catalog_dir: Path):
    path = catalog_dir / "models.toml"
    if not path.exists():
        return None
    with open(path, "rb") as f:
        return sorted({m["family"] for m in tomllib.load(f).get("model", [])})


# ---------------------------------------------------------------------------------------------
# Output




def render(result: Result) -> str:
    out = ["// Generated by tools/codegen/gen_sim_settings.py from the catalogue. Do not edit.",
           f"// {len(result.rows)} settings; {len(result.skipped)} formats left out or noted:"]
    for key, fmt, why in result.skipped:
        out.append(f"//   {key}: {fmt.strip()!s:.80} -- {why}")
    for header, members in result.merged:
        out.append(f"//   {header} serves {', '.join(members)}")
    out.append("constexpr SettingRow kGeneratedRows[] = {")
    for r in result.rows:
        if ";" in r.default:
            raise ValueError(f"{r.header}: default {r.default!r} holds ';'")
        args = [c_string(r.header), f"T::{r.type}", c_string(r.default)]
        tail = [c_string("|".join(r.tokens)), str(r.instances), " | ".join(r.flags) or "0"]
        while tail and tail[-1] in ('""', "0"):
            tail.pop()
        if tail:
            args += tail
        out.append(f"    G({', '.join(args)}),")
    out.append("};")
    return "\n".join(out) + "\n"




def main(argv):
    args, report, tokens_path = [], False, None
    it = iter(argv)
    for a in it:
        if a == "--report":
            report = True
        elif a == "--tokens":
            tokens_path = Path(next(it, ""))
        else:
            args.append(a)
    if not args:
        print(__doc__, file=sys.stderr)
        return 2
    catalog_dir = Path(args[0])
    try:
        cat = korvane_catalog.load(catalog_dir)
    except korvane_catalog.CatalogError as e:
        print(e, file=sys.stderr)
        return 1
    if tokens_path is None and (catalog_dir / "enum-tokens.toml").exists():
        tokens_path = catalog_dir / "enum-tokens.toml"
    result = derive(cat, load_tokens(tokens_path), families_of(catalog_dir))
    if len(args) > 1:
        write_if_changed(Path(args[1]), render(result))
    if report:
        print(f"{len(result.rows)} settings, {len(result.skipped)} notes")
        for key, fmt, why in result.skipped:
            print(f"  {key}: {fmt} -- {why}")
        for header, members in result.merged:
            print(f"  {header} serves {', '.join(members)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
