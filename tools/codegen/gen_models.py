#!/usr/bin/env python3
"""Generate the supported-model table (C++ include) from catalog/models.toml."""
import sys
import tomllib

FAMILIES = ("Avel", "Bormo", "Cadri", "Dovin", "Efrai", "Forsa")


def main(src, dst):
    with open(src, "rb") as f:
        data = tomllib.load(f)
    rows = data["model"]
    seen = set()
    for r in rows:
        if r["family"] not in FAMILIES:
            sys.exit(f"{src}: model {r['id']}: unknown family {r['family']}")
        if r["id"] in seen:
            sys.exit(f"{src}: duplicate model {r['id']}")
        seen.add(r["id"])
    out = [
        "// Generated from catalog/models.toml; do not edit.",
        "#pragma once",
        "namespace korvane::models {",
        "struct ModelRow { const char* id; const char* family; int analog; int digital; int bandwidthMHz; };",
        f'inline constexpr const char kVendor[] = "{data["vendor"]}";',
        f"inline constexpr int kModelCount = {len(rows)};",
        "inline constexpr ModelRow kModels[] = {",
    ]
    for r in rows:
        out.append(f'    {{"{r["id"]}", "{r["family"]}", {r["analog"]}, {r["digital"]}, {r["bandwidth_mhz"]}}},')
    out += ["};", "}  // namespace korvane::models", ""]
    text = "\n".join(out)
    try:
        with open(dst) as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(dst, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
