"""What the generator scripts share: writing outputs, C++ literals and the banner of a
generated file.

Standard library only (Python 3.11+).
"""
from __future__ import annotations

from pathlib import Path
from string import Template


class GeneratorError(Exception):
    """Every problem a check found, each "<file>:<line>: <rule>: <message>"."""

    def __init__(self, errors):
        self.errors = list(errors)
        super().__init__("\n".join(self.errors))


def write_if_changed(path: Path, text: str) -> None:
    """Writes text unless the file already holds it: an unchanged output keeps its time stamp, so
    nothing that includes it is rebuilt; the build tool re-checks the outputs of the generator
    after each run."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.exists() and path.read_text(encoding="utf-8") == text:
        return
    path.write_text(text, encoding="utf-8")


def banner(source: str, script: str) -> str:
    return f"// Generated from {source} by tools/codegen/{script}; do not edit."


def cxx_string(text) -> str:
    """A C++ string literal of text, or nullptr for None."""
    if text is None:
        return "nullptr"
    out = []
    for ch in str(text):
        if ch in '\\"':
            out.append("\\" + ch)
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\t":
            out.append("\\t")
        elif ord(ch) < 0x20:
            out.append(f"\\{ord(ch):03o}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def cxx_bool(value) -> str:
    return "true" if value else "false"


def designated(fields) -> str:
    """A C++20 designated initialiser of the (name, value) pairs whose value is not None, in the
    order given (the order of the struct): `{.a = 1, .b = x}`. Left-out fields keep the struct's
    defaults, so a generated record names only what is particular to it."""
    return "{" + ", ".join(f".{name} = {value}" for name, value in fields if value is not None) + "}"


def render(template: str, **values) -> str:
    """Fills a file template: `$name` takes values[name], a list of lines is joined by newlines.
    The templates are the generated files' fixed text; loops stay in Python, where the data is."""
    return Template(template).substitute(
        {k: "\n".join(v) if isinstance(v, list) else str(v) for k, v in values.items()})
