#!/usr/bin/env python3
"""Fails when a source file includes a layer it may not see.

Every library sees src/, so the compiler alone lets a foundation file include an app header; this
check keeps includes pointing downward, as the libraries link, and keeps the fakes and simulations
of src/platform out of production code (only their own source files include them).

usage: check_layering.py SRC_ROOT
"""
import pathlib
import re
import sys

# Each folder and the folders it links directly; a folder may include itself and everything below.
LINKS = {
    "platform": [],
    "foundation": ["platform"],
    "service": ["foundation"],
    "capture": ["foundation"],
    "pipeline": ["capture", "service"],
    "audio": ["foundation"],
    "vault": ["foundation"],
    "recording": ["pipeline", "audio", "vault"],
    "onboarding": ["pipeline"],
    "settings": ["pipeline", "audio"],
    "app": ["recording", "onboarding", "vault", "settings"],
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
TEST_DOUBLE = re.compile(r"(^|/)(Fake|Simulated)[A-Z][^/]*\.h$")


def visible(folder, seen=None):
    seen = set() if seen is None else seen
    if folder in seen:
        return seen
    seen.add(folder)
    for below in LINKS[folder]:
        visible(below, seen)
    return seen


def main(root):
    root = pathlib.Path(root)
    faults = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        relative = path.relative_to(root)
        folder = relative.parts[0]
        if folder not in LINKS:
            faults.append(f"{relative}: in a folder the layer table does not know")
            continue
        allowed = visible(folder)
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target = match.group(1)
            layer = target.split("/", 1)[0]
            if layer in LINKS and layer not in allowed:
                faults.append(f"{relative}:{number}: includes {target}, a layer {folder} does not link")
            if TEST_DOUBLE.search(target) and pathlib.PurePath(target).stem != path.stem:
                faults.append(f"{relative}:{number}: includes the test double {target}")
    for fault in faults:
        print(fault)
    print(f"layering: {len(faults)} wrong-way include(s)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
