#!/usr/bin/env python3
"""Prints the package's requirements, one per line, for `pip install -r`.

The runtime dependencies come first, then those of each extra named on the command line, read
from pyproject.toml, so the Makefile installs what the tests need without building the package.
"""

import sys
import tomllib
from pathlib import Path


def main(extras: list[str]) -> int:
    project = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())["project"]
    optional = project.get("optional-dependencies", {})
    unknown = [name for name in extras if name not in optional]
    if unknown:
        print(f"unknown extra(s): {', '.join(unknown)}; known: {', '.join(sorted(optional))}", file=sys.stderr)
        return 2
    lines = list(project.get("dependencies", []))
    for name in extras:
        lines.extend(optional[name])
    print("\n".join(dict.fromkeys(lines)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
