#!/usr/bin/env python3
"""Generate the COM server's object map and registry scripts from catalog/library.toml.

Usage: gen_registry.py <catalog dir> <output dir>

Writes <output dir>/korvane/KorvaneRoot.h, the root coclass's versioned ProgID (the error source
the driver names when its class is not registered), and below <output dir>/com:
  KorvaneObjectMap.inc   KORVANE_OBJECT(<coclass>, <ProgID>, <versioned ProgID>, <script>) per
                         coclass, in catalogue order
  Registry<n>.rgs        the registrar scripts: 101 the application identifier, then one per
                         coclass from 102 in the same order
The class part of a ProgID is the coclass name without the driver word ("KorvaneChannel" ->
"Korvane.Channel"); the root coclass, which is the driver word itself, keeps it
("Korvane.Korvane").
"""
from __future__ import annotations

import sys
import tomllib
from pathlib import Path

from codegen_common import write_if_changed

APPID = "{a98d7d4b-2eb8-4278-a64b-ef4bddf5d0af}"
DRIVER = "Korvane"
APPID_SCRIPT = 101


def prog_ids(coclass: str) -> tuple[str, str]:
    cls = coclass[len(DRIVER):] if coclass.startswith(DRIVER) and coclass != DRIVER else coclass
    return f"{DRIVER}.{cls}", f"{DRIVER}.{cls}.1"


def appid_script(lib_name: str) -> str:
    return "\n".join([
        "HKCR",
        "{",
        "  NoRemove AppID",
        "  {",
        f"    '%APPID%' = s '{lib_name}'",
        f"    '{DRIVER}.dll'",
        "    {",
        "      val AppID = s '%APPID%'",
        "    }",
        "  }",
        "}",
        "",
    ])


def class_script(name: str, clsid: str, libid: str) -> str:
    progid, versioned = prog_ids(name)
    desc = f"{name} Class"
    return "\n".join([
        "HKCR",
        "{",
        f"  {versioned} = s '{desc}'",
        "  {",
        f"    CLSID = s '{clsid}'",
        "  }",
        f"  {progid} = s '{desc}'",
        "  {",
        f"    CLSID = s '{clsid}'",
        f"    CurVer = s '{versioned}'",
        "  }",
        "  NoRemove CLSID",
        "  {",
        f"    ForceRemove {clsid} = s '{desc}'",
        "    {",
        f"      ProgID = s '{versioned}'",
        f"      VersionIndependentProgID = s '{progid}'",
        "      InprocServer32 = s '%MODULE%'",
        "      {",
        "        val ThreadingModel = s 'Both'",
        "      }",
        "      val AppID = s '%APPID%'",
        f"      TypeLib = s '{libid}'",
        "    }",
        "  }",
        "}",
        "",
    ])




def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    lib = tomllib.loads((Path(argv[1]) / "library.toml").read_text())
    libid = "{" + lib["library"]["libid"].lower() + "}"
    out = Path(argv[2]) / "com"
    out.mkdir(parents=True, exist_ok=True)
    entries = ["// Generated from catalog/library.toml by tools/codegen/gen_registry.py; do not edit."]
    write_if_changed(out / f"Registry{APPID_SCRIPT}.rgs", appid_script(lib["library"]["name"]))
    for n, c in enumerate(lib["coclass"], start=APPID_SCRIPT + 1):
        clsid = "{" + c["clsid"].upper() + "}"
        progid, versioned = prog_ids(c["name"])
        entries.append(f'KORVANE_OBJECT({c["name"]}, "{progid}", "{versioned}", {n})')
        write_if_changed(out / f"Registry{n}.rgs", class_script(c["name"], clsid, libid))
    write_if_changed(out / "KorvaneObjectMap.inc", "\n".join(entries) + "\n")
    write_if_changed(Path(argv[2]) / "korvane" / "KorvaneRoot.h", "\n".join([
        "// Generated from catalog/library.toml by tools/codegen/gen_registry.py; do not edit.",
        f"// The root coclass ({DRIVER}): its CLSID is CLSID_{DRIVER} of KorvaneCom.h.",
        "#pragma once",
        f'#define KORVANE_ROOT_PROGID "{prog_ids(DRIVER)[1]}"',
        ""]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
