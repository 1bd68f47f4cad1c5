#!/usr/bin/env python3
"""Generate the compiled message table (C++ include) from catalog/messages.toml.

Usage: gen_messages.py <messages.toml> <MessageTable.inc> [<ReporterOperations.inc>]
       gen_messages.py --bin <messages.toml> <Messages.bin>

ReporterOperations.inc holds the reporting operations of IErrorReporter, one per error id (it is
included inside the interface): each passes its inserts, typed, to the one entry point Raise,
so a call with the wrong number of inserts fails to compile.

--bin writes the binary form of a MESSAGETABLE resource instead (for the Windows DLL): blocks of
consecutive ids, each message a Unicode entry padded to four bytes.
"""
import re
import struct
import sys
import tomllib

NAME_RE = re.compile(r"^[A-Z][A-Za-z0-9]*$")
INSERT_RE = re.compile(r"%(\d+)")


def c_string(text):
    out = []
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        elif ord(ch) < 0x20 or ord(ch) > 0x7E:
            sys.exit(f"message text holds a character outside printable ASCII: {text!r}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def check(src, rows):
    last = 0
    names = set()
    for r in rows:
        for key in ("id", "name", "hresult", "help_context", "text"):
            if key not in r:
                sys.exit(f"{src}: message {r.get('id', '?')}: missing '{key}'")
        mid, name = r["id"], r["name"]
        if not 0 < mid <= 0xFFFF:
            sys.exit(f"{src}: message id {mid:#x} out of range")
        if mid <= last:
            sys.exit(f"{src}: message id {mid:#x} not in ascending order")
        last = mid
        if not NAME_RE.match(name) or name in names:
            sys.exit(f"{src}: message {mid:#x}: bad or duplicate name '{name}'")
        names.add(name)
        if not 0 <= r["hresult"] <= 0xFFFFFFFF:
            sys.exit(f"{src}: message {mid:#x}: hresult out of range")
        inserts = [int(n) for n in INSERT_RE.findall(r["text"].replace("%%", ""))]
        if inserts and (min(inserts) < 1 or max(inserts) > 99):
            sys.exit(f"{src}: message {mid:#x}: insert number out of range")
        if sorted(set(inserts)) != list(range(1, len(set(inserts)) + 1)):
            sys.exit(f"{src}: message {mid:#x}: inserts must be numbered from %1 without gaps")
        current = r.get("current_method")
        if current is not None and not 1 <= current <= len(set(inserts)):
            sys.exit(f"{src}: message {mid:#x}: current_method {current} names no insert of the text")
        if r.get("operation", "generated") not in ("generated", "written"):
            sys.exit(f"{src}: message {mid:#x}: operation is 'generated' or 'written'")


def main(src, dst, ops_dst=None):
    with open(src, "rb") as f:
        rows = tomllib.load(f)["message"]
    check(src, rows)
    if ops_dst:
        write_if_changed(ops_dst, operations(rows))
    out = [
        "// Generated from catalog/messages.toml; do not edit.",
        "#pragma once",
        "namespace korvane::messages {",
        "struct MessageRow {",
        "  unsigned id;",
        "  unsigned hresult;",
        "  unsigned helpContext;",
        "  const char* text;",
        "};",
        f"inline constexpr unsigned kFirstId = 0x{rows[0]['id']:02X};",
        f"inline constexpr unsigned kLastId = 0x{rows[-1]['id']:02X};",
        f"inline constexpr int kMessageCount = {len(rows)};",
        "inline constexpr MessageRow kMessages[] = {",
    ]
    for r in rows:
        out.append(
            f"    {{0x{r['id']:02X}, 0x{r['hresult']:08X}u, {r['help_context']}, {c_string(r['text'])}}},"
        )
    out += ["};", "}  // namespace korvane::messages", "", "namespace korvane::msg {",
            "// The message ids, named as in the catalogue.", "enum MessageId : unsigned {"]
    for r in rows:
        out.append(f"  {r['name']} = 0x{r['id']:02X},")
    out += ["};", "}  // namespace korvane::msg", ""]
    write_if_changed(dst, "\n".join(out))


def insert_count(text):
    return len(set(INSERT_RE.findall(text.replace("%%", ""))))


def operations(rows):
    """The reporting operations of IErrorReporter, one or two per error id."""
    out = ["// Generated from catalog/messages.toml; do not edit. Included inside IErrorReporter."]
    for r in rows:
        if r["hresult"] == 0 or r.get("operation", "generated") == "written":
            continue
        name, count, current = r["name"], insert_count(r["text"]), r.get("current_method")
        forms = [list(range(1, count + 1))]
        if current:
            forms.append([n for n in forms[0] if n != current])
        for given in forms:
            params = [f"const char* insert{n}" for n in given]
            # A second form without elaboration default would make one-argument calls ambiguous.
            params.append("const char* elab" + ("" if current else " = nullptr"))
            args = ", ".join("MessageInsert::CurrentMethod()" if n not in given else f"MessageInsert(insert{n})"
                             for n in range(1, count + 1))
            out.append(f"HRESULT {name}({', '.join(params)}) {{ return Raise(msg::{name}, elab, {{{args}}}); }}")
    return "\n".join(out) + "\n"


def write_if_changed(dst, text):
    try:
        with open(dst) as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(dst, "w") as f:
        f.write(text)


def message_table(rows):
    blocks = []  # [low, high, texts]
    for r in rows:
        if blocks and blocks[-1][1] + 1 == r["id"]:
            blocks[-1][1] = r["id"]
            blocks[-1][2].append(r["text"])
        else:
            blocks.append([r["id"], r["id"], [r["text"]]])
    offset = 4 + 12 * len(blocks)
    head = struct.pack("<I", len(blocks))
    body = b""
    for low, high, texts in blocks:
        head += struct.pack("<III", low, high, offset + len(body))
        for text in texts:
            data = text.encode("utf-16-le") + b"\0\0"
            data += b"\0" * (-(len(data) + 4) % 4)
            body += struct.pack("<HH", len(data) + 4, 1) + data
    return head + body


def main_bin(src, dst):
    with open(src, "rb") as f:
        rows = tomllib.load(f)["message"]
    check(src, rows)
    data = message_table(rows)
    try:
        with open(dst, "rb") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    with open(dst, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--bin":
        main_bin(sys.argv[2], sys.argv[3])
    elif len(sys.argv) in (3, 4):
        main(*sys.argv[1:])
    else:
        sys.exit(__doc__)
