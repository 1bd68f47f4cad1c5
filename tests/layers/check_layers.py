#!/usr/bin/env python3
"""Fails when a source folder includes a header of a folder at its own level or above.

The folders of src/ form layers; each may include its own headers and those of the layers
below it, so that a change low down never needs what is built on top of it:

    platform <- base <- visacom <- io <- core <- com <- scope, ivic, ansic

A folder that is not listed fails too, so a new area has to be given its place. Includes are
not the only links: a function a lower layer's header declares and a higher layer's source
defines makes the lower layer need the higher one at link time while its includes look clean,
so such definitions fail too.

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
    {"scope", "ivic", "ansic"},
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


# A namespace-level function declaration in a header (not indented, not a definition), and the
# unqualified definition of a name in a source file.
DECLARATION = re.compile(r"^(?!(?:return|using|typedef|friend|class|struct|enum|namespace|template)\b)"
                         r"(?:[\w:<>,*&]+[ \t*&]+)+([A-Za-z_]\w*)[ \t]*\([^;{}]*\)[ \t]*"
                         r"(?:const[ \t]*)?(?:noexcept[ \t]*)?;", re.M)


def definition(name):
    return re.compile(r"^(?![ \t#/])[^;{}\n]*?(?<!::)\b" + re.escape(name) +
                      r"[ \t]*\([^;{}]*\)[ \t]*(?:const[ \t]*)?(?:noexcept[ \t]*)?\{", re.M)


def hidden_links(src: pathlib.Path):
    """Functions declared in a layer's header and defined in a source of a layer above it."""
    declared = {}
    for header in sorted(src.rglob("*.h")):
        layer = header.relative_to(src).parts[0]
        if layer not in RANK:
            continue
        text = header.read_text(encoding="utf-8", errors="replace")
        for m in DECLARATION.finditer(text):
            declared.setdefault(m.group(1), []).append((layer, header))
    problems = []
    for source in sorted(src.rglob("*.cpp")):
        layer = source.relative_to(src).parts[0]
        if layer not in RANK:
            continue
        text = source.read_text(encoding="utf-8", errors="replace")
        for name, places in declared.items():
            lower = [(l, h) for l, h in places if RANK[l] < RANK[layer]]
            m = definition(name).search(text) if lower else None
            if m:
                line = text.count("\n", 0, m.start()) + 1
                problems.append(f"{source.relative_to(src)}:{line}: {layer}/ defines {name}, which "
                                f"{lower[0][1].relative_to(src)} declares below it")
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
    problems = back_edges(src) + hidden_links(src) + client_edges(src)
    for p in problems:
        print(p, file=sys.stderr)
    if not problems:
        print(f"layers hold: {' <- '.join(', '.join(sorted(l)) for l in LAYERS)}; "
              f"{', '.join(CLIENTS)} only a client")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
