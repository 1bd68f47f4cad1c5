"""A man page from a program's own --help and --version (and, for a program with commands, the
text of `<program> help <command>` for each command `<program> __complete commands` names), so
the page says exactly what the program says.

Usage: gen_man.py <program> <name> <one-line summary> <out.1> [--commands]
Standard library only.
"""
from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path

from codegen_common import write_if_changed


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=60, check=True).stdout


def roff(text):
    """Literal text: backslashes escaped, a leading dot or quote made harmless."""
    lines = []
    for line in text.rstrip("\n").split("\n"):
        line = line.replace("\\", "\\e")
        if line.startswith((".", "'")):
            line = "\\&" + line
        lines.append(line)
    return "\n".join(lines)


def page(program, name, summary, commands):
    version = run(program, "--version").strip().split()[-1]
    out = [f'.TH {name.upper()} 1 "" "{name} {version}" "User Commands"',
           ".SH NAME", f"{name} \\- {roff(summary)}",
           ".SH SYNOPSIS", ".nf", roff(run(program, "--help")), ".fi"]
    if commands:
        out.append(".SH COMMANDS")
        for c in commands:
            out += [".TP", f".B {c}", ".nf", roff(run(program, "help", c)), ".fi"]
    out += [".SH SEE ALSO", "korvane(1), korvane-scope-sim(1)" if name == "korvane" else "korvane(1)", ""]
    return "\n".join(out)


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("program")
    ap.add_argument("name")
    ap.add_argument("summary")
    ap.add_argument("out")
    ap.add_argument("--commands", action="store_true")
    a = ap.parse_args(argv)
    try:
        commands = run(a.program, "__complete", "commands").split() if a.commands else []
        text = page(a.program, a.name, a.summary, commands)
    except (subprocess.SubprocessError, OSError) as e:
        print(f"gen_man: {a.program}: {e}", file=sys.stderr)
        return 1
    write_if_changed(Path(a.out), text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
