"""python3 -m korvane demo [options]: the demo (see korvane._demo)."""
from __future__ import annotations

import sys


def main(argv: list[str]) -> int:
    if not argv or argv[0] in ("-h", "--help") or argv[0] != "demo":
        print("usage: python3 -m korvane demo [--out DIR] [--points N] [--simulator PATH] [--no-matplotlib]")
        return 0 if argv and argv[0] in ("-h", "--help") else 2
    from ._demo import main as demo
    return demo(argv[1:])


sys.exit(main(sys.argv[1:]))
