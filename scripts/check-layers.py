#!/usr/bin/env python3
"""Checks that the module's folders include each other one way only.

Each folder has a layer; a source file may include headers of its own folder and of folders in
lower layers, never of a folder in its own layer or above. So no two folders can include each
other, and what a file may use can be read from where it sits. Quoted includes only ("x/y.h" is
from the repository's root; a bare "y.h" is the file's own folder); tests/ and bench/ may use
anything and are not checked. Exits 1 and names every include that breaks the order.
Usage: scripts/check-layers.py [REPO]
"""
import os
import re
import sys

# Lowest first. Folders in one layer may not include each other either.
LAYERS = [
    ["host/base"],                    # the host's records, entry-point signatures, platform seam
    ["settings/values", "mailhost"],  # the settings in force; the stand-in host
    ["tracking"],                     # the address table and the white list
    ["settings"],                     # the settings file Tollgate.ini
    ["tracking/state", "tracking/lists"],  # the state file; the list files, read and watched
    ["tracking/shared"],              # the counts shared with other servers through Redis
    ["tracking/events"],              # the event gate, the event handler, the sweeper
    ["host"],                         # start-up, shutdown, the statistics registration
    ["ui"],                           # the configuration dialog and the address list view
]
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
SOURCE = re.compile(r".*\.(h|hpp|c|cpp|rc)$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def main():
    repo = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), ".."))
    problems = []
    checked = 0
    for top in sorted({folder.split("/")[0] for folder in RANK}):
        for directory, _, names in os.walk(os.path.join(repo, top)):
            folder = os.path.relpath(directory, repo)
            for name in sorted(n for n in names if SOURCE.match(n)):
                path = os.path.join(folder, name)
                if folder not in RANK:
                    problems.append(f"{path}: folder {folder} has no layer in {__file__}")
                    continue
                checked += 1
                with open(os.path.join(repo, path), encoding="utf-8", errors="replace") as text:
                    for number, line in enumerate(text, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        target = os.path.dirname(match.group(1)) or folder
                        if target == folder:
                            continue
                        if target not in RANK:
                            problems.append(f"{path}:{number}: includes {match.group(1)}, "
                                            f"from a folder with no layer")
                        elif RANK[target] >= RANK[folder]:
                            problems.append(f"{path}:{number}: {folder} includes {target} "
                                            f"({match.group(1)}), which is not below it")
    for problem in problems:
        print(f"layers: {problem}")
    if problems:
        print(f"layers: {len(problems)} include(s) against the order; see the README's Layout")
        return 1
    print(f"layers: {checked} files, every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
