#!/usr/bin/env python3
"""The layer check fails on each kind of breach it exists for, and passes a tree that has none."""
import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import check_layers  # noqa: E402

# A small tree that holds: every layer folder, a tool beside src/ that links the library.
CLEAN = {
    **{f"src/{f}/CMakeLists.txt": "add_library(korvane_x OBJECT A.cpp)\n" for f in check_layers.RANK},
    "src/platform/Guard.h": "#pragma once\n",
    "src/core/Driver.cpp": '#include "platform/Guard.h"\n#include "core/Driver.h"\n',
    "src/core/Driver.h": "#pragma once\n",
    # A member defined above with the name of a function declared below is no link.
    "src/base/Util.h": "#pragma once\nint Helper(int x);\n",
    "src/com/Paths.cpp": '#include "Paths.h"\nint CPaths::Helper(int x) {\n  return x;\n}\n',
    "src/com/Paths.h": "#pragma once\n",
    "cli/Tool.h": "#pragma once\n",
    "cli/Paths.h": "#pragma once\n",
    "cli/CMakeLists.txt": "# links src/core/Driver.cpp's target\nadd_executable(t main.cpp)\n"
                          "target_link_libraries(t PRIVATE korvane_core)\n",
}

BREACHES = [
    ("a lower layer includes a higher one", {"src/base/Bad.cpp": '#include "core/Driver.h"\n'}, "base/ includes core/"),
    ("a lower layer declares what a higher one defines",
     {"src/visacom/Make.h": "#pragma once\nHRESULT MakeThing(REFIID riid, void** ppv) noexcept;\n",
      "src/io/Make.cpp": '#include "visacom/Make.h"\nHRESULT MakeThing(REFIID riid, void** ppv) noexcept {\n  return 0;\n}\n'},
     "io/ defines MakeThing, which visacom/Make.h declares below it"),
    ("a folder has no layer", {"src/extra/X.cpp": "int x;\n"}, "extra/: not placed"),
    ("the library includes a tool header", {"src/com/Init.cpp": '#include "Tool.h"\n'}, "includes the client cli/"),
    ("the library includes cli/ by path", {"src/core/X.cpp": '#include "cli/Tool.h"\n'}, "includes the client cli/"),
    ("the library links the tool's code", {"src/com/CMakeLists.txt": "target_link_libraries(korvane_com PRIVATE korvane_cli_core)\n"},
     "names the client cli/"),
    ("the tool compiles a library source", {"cli/CMakeLists.txt": "add_executable(t main.cpp ${CMAKE_SOURCE_DIR}/src/core/Driver.cpp)\n"},
     "compiles the library's src/core/Driver.cpp"),
]


def problems(files):
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        for name, text in files.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text)
        src = root / "src"
        return check_layers.back_edges(src) + check_layers.hidden_links(src) + check_layers.client_edges(src)


class LayerCheck(unittest.TestCase):
    def test_clean_tree_passes(self):
        # The library's own Paths.h shadows the tool's header of the same name; comments are not edges.
        self.assertEqual(problems(CLEAN), [])

    def test_each_breach_fails(self):
        for what, extra, expected in BREACHES:
            with self.subTest(what):
                found = problems({**CLEAN, **extra})
                self.assertEqual(len(found), 1, found)
                self.assertIn(expected, found[0])


if __name__ == "__main__":
    unittest.main()
