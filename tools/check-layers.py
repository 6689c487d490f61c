#!/usr/bin/env python3
"""Fails when an include under src/ runs against the layering.

The engine is one folder per layer under src/. A file may include headers of
its own folder and of the folders below it, never of a folder above, and only
src/python may include <Python.h>. Prints every offending include as
FILE:LINE: reason, and exits with 1 when there is one.

Usage: tools/check-layers.py [SRC_DIR]   (default: the repository's src/)
"""

import pathlib
import re
import sys

# What each folder may include besides itself. kdtree, csv, arrow and regions
# sit side by side on base; geocoder builds on them; persist saves and loads
# what geocoder and regions build; the binding sits on top of everything.
ALLOWED = {
    "base": set(),
    "kdtree": {"base"},
    "csv": {"base"},
    "arrow": {"base"},
    "regions": {"base"},
    "geocoder": {"base", "kdtree", "csv", "arrow", "regions"},
    "persist": {"base", "kdtree", "csv", "arrow", "regions", "geocoder"},
    "python": {"base", "kdtree", "csv", "arrow", "regions", "geocoder", "persist"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".inc"}


def problems(src):
    """Yields (path, line number, reason) for every include against the layers."""
    for path in sorted(src.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        relative = path.relative_to(src)
        folder = relative.parts[0] if len(relative.parts) > 1 else None
        text = path.read_text(encoding="utf-8", errors="replace")
        for number, line in enumerate(text.splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            bracket, target = match.groups()
            if target == "Python.h":
                if folder != "python":
                    yield relative, number, "only src/python may include <Python.h>"
                continue
            if bracket != '"':
                continue
            target_folder = target.split("/")[0] if "/" in target else None
            if folder is None:
                yield relative, number, "a file directly under src/ belongs to no layer"
            elif folder not in ALLOWED:
                yield relative, number, f"folder {folder!r} is not a known layer"
            elif target_folder is None:
                yield relative, number, f'include "{target}" names no layer folder'
            elif target_folder == folder:
                continue
            elif target_folder not in ALLOWED:
                yield relative, number, f'include "{target}": {target_folder!r} is not a known layer'
            elif target_folder not in ALLOWED[folder]:
                yield relative, number, f"{folder} may not include {target_folder} (it sits above or beside it)"


def main(argv):
    src = pathlib.Path(argv[1]) if len(argv) > 1 else pathlib.Path(__file__).resolve().parent.parent / "src"
    found = list(problems(src))
    for relative, number, reason in found:
        print(f"src/{relative}:{number}: {reason}")
    if found:
        print(f"{len(found)} include(s) against the layers", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
