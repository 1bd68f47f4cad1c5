#!/usr/bin/env python3
"""Generate korvane/KorvaneErrors.h: the HRESULT of every message of catalog/messages.toml by the
message's name, so that the CLI and the tests name the codes they expect instead of spelling
their values.

Usage: gen_errors.py <messages.toml> <KorvaneErrors.h>
"""
import sys
import tomllib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import codegen_common as cg  # noqa: E402


def render(rows) -> str:
    out = [cg.banner("catalog/messages.toml", "gen_errors.py"),
           "// The HRESULT each message of the driver's table reports, by the message's name.",
           "#pragma once", "", "#include <korvane/KorvanePlatform.h>", "", "namespace korvane::hresult {"]
    for r in rows:
        if r["hresult"]:
            out.append(f"inline constexpr HRESULT {r['name']} = static_cast<HRESULT>(0x{r['hresult']:08X});")
    out += ["}  // namespace korvane::hresult", ""]
    return "\n".join(out)


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    with open(argv[1], "rb") as f:
        rows = tomllib.load(f)["message"]
    cg.write_if_changed(Path(argv[2]), render(rows))


if __name__ == "__main__":
    main(sys.argv)
