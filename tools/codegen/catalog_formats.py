"""Type check of the catalogue's SCPI formats against their members.

The call frame formats a member's command (or query) with the item's index, when the member
belongs to a repeated-capability item, followed by the member's input values, and scans the
reply into its output parameters (core/CallFrame.h, core/GenericMember.h). The formats pass
through C varargs, so a conversion that does not fit its argument would read the wrong bytes at
run time; this module finds that in the catalogue instead. It knows the conversions the format
engine reads (io/FormatTokens.h) to the depth needed to say what argument each one takes.
"""
from __future__ import annotations

import re

ARRAY_RE = re.compile(r"^SAFEARRAY\((double|short|long|BYTE)\)$")

CONV_RE = re.compile(r"""
    %(?:
      (?P<percent>%)
    | (?P<suppress>\*)?
      (?P<flags>[-+ #0]*)
      (?P<array>,(?:\d+|\*|\#)?)?
      (?P<width>\d+|\*)?
      (?:\.(?P<precision>\d+|\*))?
      (?:\{(?P<enum>\w+)\})?
      (?P<kind>\$[BCS][qQ]?|@[123HQB])?
      (?P<size>[hlbILzZ])?
      (?P<conv>[diouxXfeEgGcstbBy]|\[\^?\]?[^\]]*\])
    )""", re.VERBOSE)

INT_CONVS = set("diouxXc")
FLOAT_CONVS = set("feEgG")


class FormatError(Exception):
    pass


def conversions(text: str, scanf: bool):
    """The argument class of every conversion that takes an argument, in order. A class is
    'int', 'short', 'int64', 'double', 'float', 'bstr', 'cstr', 'array', or ('enum', Name)."""
    out = []
    pos = 0
    while True:
        k = text.find("%", pos)
        if k < 0:
            return out
        m = CONV_RE.match(text, k)
        if m is None:
            raise FormatError(f"cannot read the conversion at '{text[k:k + 12]}'")
        pos = m.end()
        if m.group("percent"):
            continue
        if scanf and m.group("suppress"):
            continue
        if not scanf:
            out.extend("int" for g in ("width", "precision") if m.group(g) == "*")
        kind, size, conv = m.group("kind") or "", m.group("size") or "", m.group("conv")
        if m.group("enum"):
            out.append(("enum", m.group("enum")))
        elif m.group("array") is not None or kind.startswith("$S") or conv in ("b", "B", "y"):
            out.append("array")
        elif conv in INT_CONVS or kind.startswith("@"):
            out.append("int64" if size == "I" else "short" if scanf and size == "h" else "int")
        elif conv in FLOAT_CONVS:
            out.append("double" if not scanf or size == "l" else "float")
        else:  # s, t, [set]
            out.append("bstr" if kind.startswith("$B") else "cstr")


def describe(cls) -> str:
    if isinstance(cls, tuple):
        return f"%{{{cls[1]}}}"
    return {"int": "an int conversion (%d)", "short": "a short conversion (%hd)", "int64": "a 64-bit conversion (%Id)",
            "double": "a double conversion (%lf, %lg)", "float": "a float conversion (%f: use %lf)",
            "bstr": "a BSTR conversion (%$Bs)", "cstr": "a C string conversion (%s)",
            "array": "an array conversion"}[cls]


def fits(cat, cls, type_name: str, scanf: bool) -> str | None:
    """None when a value of type_name fits the conversion class, else what it needs."""
    enum = type_name in cat.enums
    if type_name == "BSTR":
        need = "%$Bs or %$Bqs" if not scanf else "%$B[^\\n], %$Bs or %$Bt"
        return None if cls == "bstr" else f"a BSTR needs {need}"
    if ARRAY_RE.match(type_name):
        return None if cls == "array" else "an array needs an array conversion"
    if type_name == "double":
        return None if cls == "double" else "a double needs %lf or %lg" if scanf else "a double needs %lg or %lf"
    if type_name == "int64":
        return None if cls == "int64" else "a 64-bit value needs %Id"
    if isinstance(cls, tuple):
        if cls[1] == type_name or (cls[1] == "VARIANT_BOOL" and type_name == "VARIANT_BOOL"):
            return None
        return f"%{{{cls[1]}}} formats a {cls[1]}, not a {type_name}"
    if cls == "cstr" and (enum or type_name == "VARIANT_BOOL"):
        return f"a {type_name} that travels as a word needs %{{{type_name}}} and a map in enum-tokens.toml"
    # Integers: varargs widen everything below int on the way in; out pointers keep their size.
    size = {"long": "int", "short": "short", "VARIANT_BOOL": "short"}.get(type_name, "int" if enum else None)
    if size is None:
        return f"a {type_name} cannot be formatted"
    if not scanf:
        return None if cls == "int" else f"a {type_name} needs an int conversion (%d)"
    if cls == size:
        return None
    return f"a {type_name} is read with {'%hd' if size == 'short' else '%d'}"


def member_arguments(cat, m, item: bool):
    """(inputs, outputs): the (name, type) the frame passes to the command and to the reply."""
    def by_pointer(p):
        return p.dir != "in" or ARRAY_RE.match(p.type) or p.type in cat.interfaces or p.type in cat.externals

    ins = [("the item's index", "long")] if item else []
    ins += [(p.name, p.type) for p in m.params if not by_pointer(p)]
    outs = [(p.name, p.type) for p in m.params if by_pointer(p)]
    return ins, outs


def show(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace("\n", "\\n").replace('"', '\\"') + '"'


def check_member(cat, m, item: bool, maps=None):
    """Yields (key, message) for each format of m that does not fit m's parameters; maps, when
    given, are the enumerations enum-tokens.toml has token maps for."""
    ins, outs = member_arguments(cat, m, item)
    command_key = "command" if m.kind == "put" or not m.query else "query"
    checks = [(command_key, getattr(m, command_key), ins, False)]
    # The frame formats the command of every member that has one; the reply is scanned into the
    # member's outputs only by the generic implementation (a hook reads it into what it likes).
    generic = m.impl == "generic"
    if m.kind != "put" and m.query and generic:
        checks.append(("response", m.response, outs, True))
    for key, text, args, scanf in checks:
        if not text:
            continue
        try:
            convs = conversions(text, scanf)
        except FormatError as e:
            yield key, f"{key} {show(text)}: {e}"
            continue
        for k, cls in enumerate(convs):
            if isinstance(cls, tuple) and maps is not None and cls[1] not in maps:
                yield key, f"{key} {show(text)}: %{{{cls[1]}}} has no map in enum-tokens.toml"
            if k >= len(args):
                yield key, (f"{key} {show(text)} has {len(convs)} conversions but the member passes {len(args)} "
                            f"value{'s' if len(args) != 1 else ''} ({', '.join(n for n, _ in args) or 'none'})")
                break
            name, type_name = args[k]
            why = fits(cat, cls, type_name, scanf)
            if why:
                yield key, f"{key} {show(text)}: conversion {k + 1} takes {name}: {why}"
        else:
            if generic and len(convs) < len(args) and (scanf or m.kind == "put"):
                yield key, (f"{key} {show(text)} has {len(convs)} conversions but the member passes {len(args)} "
                            f"values ({', '.join(n for n, _ in args)})")
