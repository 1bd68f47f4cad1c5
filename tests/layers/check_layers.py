#!/usr/bin/env python3
"""Fails when a source folder includes a header of a folder at its own level or above.

The folders of src/ form layers; each may include its own headers and those of the layers
below it, so that a change low down never needs what is built on top of it:

    platform <- base <- visacom <- io <- core <- com <- scope, ivic

A folder that is not listed fails too, so a new area has to be given its place.
"""
import pathlib
import re
import sys

LAYERS = [
    {"platform"},
    {"base"},      # error reporting, call context, guards, trace file writer
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


def main(argv):
    src = pathlib.Path(argv[1] if len(argv) > 1 else "src")
    problems = back_edges(src)
    for p in problems:
        print(p, file=sys.stderr)
    if not problems:
        print(f"layers hold: {' <- '.join(', '.join(sorted(l)) for l in LAYERS)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
