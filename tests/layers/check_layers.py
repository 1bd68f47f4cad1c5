#!/usr/bin/env python3
"""Fails when a source folder includes a header of a folder at its own level or above.

The folders of src/ form layers; each may include its own headers and those of the layers
below it, so that a change low down never needs what is built on top of it:

    platform <- base <- visacom <- io <- core <- com <- scope, ivic

A folder that is not listed fails too, so a new area has to be given its place.

The programs beside src/ (the korvane tool in cli/) are clients of the library: no library
source includes their headers or names their targets or folders in its build, and they link
the library's code rather than compile its sources themselves.
"""
import pathlib
import re
import sys

LAYERS = [
    {"platform"},
    {"base"},      # error reporting, call context, scope guards, trace file writer
    {"visacom"},   # the built-in VISA-COM provider and its transports
    {"io"},        # sessions, instrument buffer, formatted I/O engine
    {"core"},      # driver session, call frame, options, cache, trace records, models
    {"com"},       # the object model's objects and module
    {"scope", "ivic"},
]
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]+"([A-Za-z0-9_]+)/[^"]+"', re.M)


def back_edges(src: pathlib.Path):
    problems = []
    for folder in sorted(p for p in src.iterdir() if p.is_dir()):
        if folder.name not in RANK:
            problems.append(f"{folder.name}/: not placed in a layer (tests/layers/check_layers.py)")
            continue
        for path in sorted(folder.rglob("*")):
            if not path.is_file():
                continue
            text = path.read_text(encoding="utf-8", errors="replace")
            for match in INCLUDE.finditer(text):
                target = match.group(1)
                if target == folder.name or target not in RANK:
                    continue  # own headers, or generated ones (korvane/...)
                if RANK[target] >= RANK[folder.name]:
                    line = text.count("\n", 0, match.start()) + 1
                    problems.append(f"{path.relative_to(src)}:{line}: {folder.name}/ includes "
                                    f"{target}/ ({match.group(0).strip()}), which is not below it")
    return problems


CLIENTS = ["cli"]
CLIENT_TARGET = re.compile(r"\bkorvane_cli\w*|/cli/|\bcli/")
LIBRARY_SOURCE = re.compile(r"\bsrc/[\w/]+\.(?:cpp|c)\b")
QUOTED_INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]+"([^"]+)"', re.M)


def client_edges(src: pathlib.Path):
    """Library code that reaches into a client, and clients that compile library sources."""
    problems = []
    root = src.parent
    for client in CLIENTS:
        folder = root / client
        if not folder.is_dir():
            continue
        headers = {p.name for p in folder.rglob("*") if p.suffix in (".h", ".hpp", ".inc")}
        for path in sorted(p for p in src.rglob("*") if p.is_file()):
            text = path.read_text(encoding="utf-8", errors="replace")
            where = lambda m: f"{path.relative_to(root)}:{text.count(chr(10), 0, m.start()) + 1}"
            if path.name == "CMakeLists.txt":
                code = re.sub(r"#[^\n]*", lambda c: " " * len(c.group(0)), text)  # comments say nothing
                for m in CLIENT_TARGET.finditer(code):
                    problems.append(f"{where(m)}: the library's build names the client {client}/ "
                                    f"({m.group(0)})")
                continue
            for m in QUOTED_INCLUDE.finditer(text):
                name = m.group(1)
                local = (path.parent / name).exists() or (src / name).exists()
                if name.startswith(f"{client}/") or (not local and pathlib.PurePath(name).name in headers
                                                     and "/" not in name):
                    problems.append(f"{where(m)}: includes the client {client}/ ({m.group(0).strip()})")
        for path in sorted(folder.rglob("CMakeLists.txt")):
            text = path.read_text(encoding="utf-8", errors="replace")
            code = re.sub(r"#[^\n]*", lambda c: " " * len(c.group(0)), text)
            for m in LIBRARY_SOURCE.finditer(code):
                line = text.count("\n", 0, m.start()) + 1
                problems.append(f"{path.relative_to(root)}:{line}: {client}/ compiles the library's "
                                f"{m.group(0)}; link its target instead")
    return problems


def main(argv):
    src = pathlib.Path(argv[1] if len(argv) > 1 else "src")
    problems = back_edges(src) + client_edges(src)
    for p in problems:
        print(p, file=sys.stderr)
    if not problems:
        print(f"layers hold: {' <- '.join(', '.join(sorted(l)) for l in LAYERS)}; "
              f"{', '.join(CLIENTS)} only a client")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
