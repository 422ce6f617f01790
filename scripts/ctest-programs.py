#!/usr/bin/env python3
"""ctest-programs.py BUILD_DIR LABEL

Prints the programs of BUILD_DIR that the tests labelled LABEL run (the
program itself or any argument, such as a wrapper's), by their file names,
one per line and each once: the targets that a build of those tests needs.
Reads CTest's own JSON description of the tests, so paths with spaces or
quotes are taken as they are."""
import json
import os
import subprocess
import sys


def programs(build_dir, label):
    listing = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1", "-L", label],
                             check=True, capture_output=True, text=True).stdout
    root = os.path.realpath(build_dir) + os.sep
    found = set()
    for test in json.loads(listing).get("tests", []):
        labels = next((p["value"] for p in test.get("properties", []) if p.get("name") == "LABELS"), [])
        if label not in labels:
            continue
        for arg in test.get("command", []):
            path = os.path.realpath(arg) if os.path.isabs(arg) else ""
            if path.startswith(root) and os.path.basename(path):
                found.add(os.path.basename(path))
    return sorted(found)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    for name in programs(sys.argv[1], sys.argv[2]):
        print(name)
