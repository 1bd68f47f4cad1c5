#!/usr/bin/env python3
"""Generate the compiled message table (C++ include) from catalog/messages.toml.

Usage: gen_messages.py <messages.toml> <MessageTable.inc>
       gen_messages.py --bin <messages.toml> <Messages.bin>

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


def main(src, dst):
    with open(src, "rb") as f:
        rows = tomllib.load(f)["message"]
    check(src, rows)
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
    out += ["};", "}  // namespace korvane::messages", "", "namespace korvane::msg {"]
    for r in rows:
        out.append(f"inline constexpr unsigned {r['name']} = 0x{r['id']:02X};")
    out += ["}  // namespace korvane::msg", ""]
    text = "\n".join(out)
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
    elif len(sys.argv) == 3:
        main(sys.argv[1], sys.argv[2])
    else:
        sys.exit(__doc__)
