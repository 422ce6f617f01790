#!/usr/bin/env python3
"""clang-tidy's findings against the accepted ones of scripts/clang-tidy.conf.

    scripts/windows_tidy.py checks CONF
        Prints the -checks= value: the configured checks, less those turned off.
    scripts/windows_tidy.py report CONF ROOT LOG...
        Reads clang-tidy's output (LOG...), drops each finding that a line of
        CONF accepts, prints the rest and fails when one is left, or when a
        source did not compile. Paths are matched relative to ROOT.
"""
import fnmatch
import os
import re
import sys


def read_conf(path):
    checks, accepted = None, []
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("checks:"):
            checks = line.split(":", 1)[1].strip()
            continue
        rule, sep, reason = line.partition(" -- ")
        words = rule.split(None, 2)
        if not sep or not reason.strip() or len(words) != 3:
            sys.exit("%s:%d: expected CHECK PATH-GLOB TEXT -- reason" % (path, number))
        accepted.append(tuple(words))
    if checks is None:
        sys.exit("%s: no checks: line" % path)
    return checks, accepted


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    checks, accepted = read_conf(sys.argv[2])
    if sys.argv[1] == "checks":
        off = ["-" + c for c, path, text in accepted if path == "*" and text == "*"]
        print(",".join([checks] + off))
        return
    root, logs = os.path.abspath(sys.argv[3]), sys.argv[4:]
    findings, kept, lines = 0, [], {}
    for log in logs:
        for line in open(log, encoding="utf-8", errors="replace"):
            m = re.match(r"^(.+?):(\d+):\d+: (warning|error): (.*) \[([\w.,-]+)\]$", line.rstrip())
            if not m:
                if re.match(r"^.+?:\d+:\d+: error: ", line):
                    kept.append(line.rstrip())
                continue
            findings += 1
            path = os.path.relpath(os.path.abspath(m.group(1)), root)
            if path not in lines:
                try:
                    lines[path] = open(os.path.join(root, path), encoding="utf-8", errors="replace").read().splitlines()
                except OSError:
                    lines[path] = []
            source = lines[path][int(m.group(2)) - 1] if int(m.group(2)) <= len(lines[path]) else ""
            names = m.group(5).split(",")
            if all(any(c == name and fnmatch.fnmatch(path, p) and (t == "*" or t in source) for c, p, t in accepted)
                   for name in names):
                continue
            kept.append("%s:%s: %s [%s]" % (path, m.group(2), m.group(4), m.group(5)))
    for k in kept:
        print("static analysis: " + k)
    print("static analysis: %d sources, %d findings, %d accepted (scripts/clang-tidy.conf), %d left" %
          (len(logs), findings, findings - len(kept), len(kept)))
    sys.exit(1 if kept else 0)


if __name__ == "__main__":
    main()
