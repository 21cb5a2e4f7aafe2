#!/usr/bin/env python3
"""The layers of the product: each folder includes only folders below it.

From the ground up: link, image, operations; then record and console side by
side; then station and line (the line's page), which use them; then cli. A file that includes a header of a folder above its
own fails, and so do two folders that include each other, whatever their
place. Each file of the folders above operations opens with a comment line
that says what it is.

    check_layers.py SOURCE_DIR
"""

import os
import re
import sys

RANKS = {
    "link": 0,
    "image": 1,
    "operations": 2,
    "record": 3,
    "console": 3,
    "station": 4,
    "line": 4,
    "cli": 5,
}
# Folders whose files each open with a line that says what they are.
DESCRIBED = ("station", "record", "console", "line", "cli")
SOURCE_ENDINGS = (".h", ".hpp", ".c", ".cpp")
# Not the product: nothing of it includes them.
NOT_PRODUCT = ("tests", "docs", "examples", "cmake", "tools")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def product_folders(root):
    for name in sorted(os.listdir(root)):
        path = os.path.join(root, name)
        if not os.path.isdir(path) or name.startswith((".", "build")) or name in NOT_PRODUCT:
            continue
        yield name


def source_files(root, folder):
    for where, folders, files in os.walk(os.path.join(root, folder)):
        folders[:] = sorted(f for f in folders if not f.startswith("."))
        for name in sorted(files):
            if name.endswith(SOURCE_ENDINGS):
                yield os.path.join(where, name)


def includes(path, folders):
    """(line number, folder) of each include of a header in another product folder."""
    with open(path, encoding="utf-8", errors="replace") as source:
        for number, line in enumerate(source, 1):
            match = INCLUDE.match(line)
            if match and "/" in match.group(1):
                folder = match.group(1).split("/", 1)[0]
                if folder in folders:
                    yield number, folder, match.group(1)


def check(root):
    faults = []
    folders = set(product_folders(root))
    arrows = {}  # (from, to) -> the first include that makes it
    for folder in sorted(folders):
        for path in source_files(root, folder):
            shown = os.path.relpath(path, root)
            for number, target, header in includes(path, folders):
                if target == folder:
                    continue
                arrows.setdefault((folder, target), f"{shown}:{number} includes {header}")
                if folder in RANKS and target in RANKS and RANKS[target] > RANKS[folder]:
                    faults.append(f"{shown}:{number}: {folder}/ includes {header}, "
                                  f"from a folder above its own")
            if folder in DESCRIBED:
                with open(path, encoding="utf-8", errors="replace") as source:
                    if not source.readline().startswith("//"):
                        faults.append(f"{shown}:1: does not open with a line that says what it is")
    for (a, b), first in sorted(arrows.items()):
        if a < b and (b, a) in arrows:
            faults.append(f"{a}/ and {b}/ include each other: {first}; {arrows[(b, a)]}")
    return faults


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    faults = check(sys.argv[1])
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
