#!/usr/bin/env python3
"""Generate the supported-model table (C++ include) from catalog/models.toml.

Every model row is written resolved: the keys it does not give itself come from its family.
The first five fields of ModelRow keep their order and meaning; readers that know only those
still compile.
"""
import sys
import tomllib
from pathlib import Path

from codegen_common import write_if_changed

OPTION_TOKENS = {
    "MSO", "FRA", "SGM", "MASK", "WAVEGEN", "ADVMATH", "VID", "DVM", "DVMCTR", "JITTER",
    "AERO", "AUTO", "FLEX", "AUDIO", "EMBD", "COMP", "SENSOR", "CANFD", "USBH", "USBFL", "USBSQ",
}
MODEL_KEYS = ("bandwidth_limit_mhz", "options", "overload_register", "mask_test")
# Optional per-model key (default: none): measurement functions beyond the basic twenty that the
# model does not offer, as their instrument tokens.
OPTIONAL_MODEL_KEYS = {"unavailable_measurements": []}
MEASUREMENT_TOKENS = {
    "COUN", "XMAX", "XMIN", "DEL", "PHAS", "VTIM", "TVAL", "TEDG", "ARE", "BWID", "NEDG", "NPUL",
    "PEDG", "PPUL", "SDEV", "BRAT",
}
FAMILY_KEYS = ("math_functions", "wave_generators", "serial_buses", "reference_waveforms",
               "math_naming", "digital_pod_names")
MATH_NAMINGS = ("Math%d", "FUNC")
POD_SIZE = 8


def fail(src, text):
    sys.exit(f"{src}: {text}")


def check_family(src, fam):
    name = fam.get("name")
    if not isinstance(name, str) or not name.isidentifier():
        fail(src, f"family name {name!r} is not an identifier")
    for key in MODEL_KEYS + FAMILY_KEYS:
        if key not in fam:
            fail(src, f"family {name}: missing {key}")
    if fam["math_naming"] not in MATH_NAMINGS:
        fail(src, f"family {name}: math_naming must be one of {MATH_NAMINGS}")
    if not 1 <= fam["reference_waveforms"] <= 4:
        fail(src, f"family {name}: reference_waveforms must be 1..4 (WMEM1..WMEM4)")
    if fam["digital_pod_names"] not in (1, 2):
        fail(src, f"family {name}: digital_pod_names must be 1 or 2")
    for key in ("math_functions", "wave_generators", "serial_buses"):
        if fam[key] < 1:
            fail(src, f"family {name}: {key} must be at least 1")


def resolve(src, row, fam):
    merged = {key: fam[key] for key in MODEL_KEYS}
    merged.update({key: fam.get(key, dflt) for key, dflt in OPTIONAL_MODEL_KEYS.items()})
    merged.update({k: v for k, v in row.items() if k in MODEL_KEYS or k in OPTIONAL_MODEL_KEYS})
    unknown = (set(row) - {"id", "family", "analog", "digital", "bandwidth_mhz"} - set(MODEL_KEYS)
               - set(OPTIONAL_MODEL_KEYS))
    if unknown:
        fail(src, f"model {row['id']}: unknown keys {sorted(unknown)}")
    ident = row["id"]
    if row["analog"] != (2 if "-2CH" in ident.upper() else 4):
        fail(src, f"model {ident}: analog count disagrees with the -2CH mark")
    if (row["digital"] > 0) != ("MSO" in ident.upper()):
        fail(src, f"model {ident}: digital channels disagree with the MSO mark")
    if row["digital"] % POD_SIZE:
        fail(src, f"model {ident}: digital channels must come in pods of {POD_SIZE}")
    if merged["bandwidth_limit_mhz"] >= row["bandwidth_mhz"]:
        fail(src, f"model {ident}: bandwidth limit not below the full bandwidth")
    options = list(merged["options"])
    if "MSO" in options:
        fail(src, f"model {ident}: MSO is derived from the digital channels, do not list it")
    bad = [o for o in options if o not in OPTION_TOKENS]
    if bad:
        fail(src, f"model {ident}: unknown option tokens {bad}")
    if merged["mask_test"] != ("MASK" in options):
        fail(src, f"model {ident}: mask_test and the MASK option disagree")
    if row["digital"]:
        options.insert(0, "MSO")
    merged["options"] = ",".join(options)
    bad = [t for t in merged["unavailable_measurements"] if t not in MEASUREMENT_TOKENS]
    if bad:
        fail(src, f"model {ident}: unknown measurement tokens {bad}")
    merged["unavailable_measurements"] = ",".join(merged["unavailable_measurements"])
    return merged


def cbool(b):
    return "true" if b else "false"


def main(src, dst):
    with open(src, "rb") as f:
        data = tomllib.load(f)
    families = {}
    for fam in data.get("family", []):
        check_family(src, fam)
        if fam["name"] in families:
            fail(src, f"duplicate family {fam['name']}")
        families[fam["name"]] = fam
    # The [[family]] tables are the family list: a model names one of them.
    rows = data["model"]
    seen = set()
    for r in rows:
        if r["family"] not in families:
            fail(src, f"model {r['id']}: no [[family]] table for family {r['family']}")
        if r["id"] in seen:
            fail(src, f"duplicate model {r['id']}")
        if r["id"] in families:
            fail(src, f"model {r['id']}: an identifier may not be a family name")
        seen.add(r["id"])
    out = [
        "// Generated from catalog/models.toml; do not edit.",
        "#pragma once",
        "namespace korvane::models {",
        "// One supported model. options: the option tokens the model can carry, comma-separated as",
        "// \"*OPT?\" lists them; digitalPods = digital / 8; unavailableMeasurements: comma-separated",
        "// tokens of the measurement functions the model does not offer.",
        "struct ModelRow {",
        "  const char* id; const char* family; int analog; int digital; int bandwidthMHz;",
        "  int bandwidthLimitMHz; int digitalPods; bool overloadRegister; bool maskTest; const char* options;",
        "  const char* unavailableMeasurements;",
        "};",
        "// Per-family counts of the repeated capabilities and instrument names of waveform sources.",
        "struct FamilyRow {",
        "  const char* name; int mathFunctions; int waveGenerators; int serialBuses; int referenceWaveforms;",
        "  const char* mathNaming; int digitalPodNames;",
        "};",
        f'inline constexpr const char kVendor[] = "{data["vendor"]}";',
        f"inline constexpr int kModelCount = {len(rows)};",
        "inline constexpr ModelRow kModels[] = {",
    ]
    for r in rows:
        m = resolve(src, r, families[r["family"]])
        out.append(
            f'    {{"{r["id"]}", "{r["family"]}", {r["analog"]}, {r["digital"]}, {r["bandwidth_mhz"]}, '
            f'{m["bandwidth_limit_mhz"]}, {r["digital"] // POD_SIZE}, {cbool(m["overload_register"])}, '
            f'{cbool(m["mask_test"])}, "{m["options"]}", "{m["unavailable_measurements"]}"}},')
    out += ["};", f"inline constexpr int kFamilyCount = {len(families)};", "inline constexpr FamilyRow kFamilies[] = {"]
    for name, f in families.items():
        out.append(
            f'    {{"{name}", {f["math_functions"]}, {f["wave_generators"]}, {f["serial_buses"]}, '
            f'{f["reference_waveforms"]}, "{f["math_naming"]}", {f["digital_pod_names"]}}},')
    out += ["};", "}  // namespace korvane::models", ""]
    write_if_changed(Path(dst), "\n".join(out))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
