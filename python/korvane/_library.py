"""Finding and loading the driver's shared library.

The first of these that exists is loaded:

1. the file named by the environment variable KORVANE_LIBRARY (an override: nothing else is
   tried when it is set);
2. the library beside this package's modules (the build tree links it there);
3. <prefix>/lib of an install prefix this package sits in (P/lib/python3/dist-packages/korvane
   finds P/lib/libkorvane.so);
4. the system's own search (LD_LIBRARY_PATH, the linker cache; PATH on Windows).
"""
from __future__ import annotations

import ctypes
import os
import sys
from pathlib import Path
from typing import Any

LIBRARY_NAME = "Korvane.dll" if sys.platform == "win32" else "libkorvane.so"
_loaded: Any = None


def candidates() -> list[str]:
    """The paths tried, in order."""
    override = os.environ.get("KORVANE_LIBRARY")
    if override:
        return [override]
    here = Path(__file__).resolve().parent
    found = [str(here / LIBRARY_NAME)]
    # The package lies a few levels below the prefix: P/lib/python3[.x]/{dist,site}-packages/korvane.
    for up in here.parents[:5]:
        found.append(str(up / "lib" / LIBRARY_NAME))
        found.append(str(up / "bin" / LIBRARY_NAME))
    found.append(LIBRARY_NAME if sys.platform == "win32" else LIBRARY_NAME + ".2")
    return found


def load() -> Any:
    """The loaded library (once per process); OSError naming every place tried otherwise."""
    global _loaded
    if _loaded is not None:
        return _loaded
    tried: list[str] = []
    paths = candidates()
    for path in paths:
        bare = os.sep not in path and "/" not in path
        if not bare and not os.path.exists(path):
            tried.append(f"{path} (no such file)")
            continue
        try:
            lib: Any = ctypes.CDLL(path)
            lib.korvane_path = path
            _loaded = lib
            return lib
        except OSError as e:
            tried.append(f"{path} ({e})")
    raise OSError("korvane: the driver library was not found; tried:\n  " + "\n  ".join(tried) +
                  "\nSet KORVANE_LIBRARY to the path of " + LIBRARY_NAME + ".")
