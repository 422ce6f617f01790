#!/usr/bin/env python3
"""Symbol audit of the driver's objects as mingw-w64 builds them for Windows.

    scripts/windows_symbols.py [--windows V] [--kmdf V] [--calls FILE] ALLOW_LIST OBJECT...

A kernel-mode driver has no C++ runtime: no operator new or delete, no
exception handling, no run-time type information, no static constructors or
destructors and no thread-local storage. Every symbol the objects take from
outside themselves must be on the allow-list (win_avstream_driver/imports.allow),
which names the kernel, HAL, kernel-streaming, KMDF and USB routines and the
GUIDs the driver may use, each with the first version that has it. With
--windows (the oldest Windows the binary loads on, e.g. 6.1 for Windows 7), a
name of a later Windows version is refused; with --kmdf (the driver's KMDF
version), a KMDF name of a later framework version. --calls names a file of
the KMDF methods the driver calls through the framework's function table (one
a line), which are checked as imports from KMDF. Prints every violation;
exit status 1 when there is one.
"""
import re
import subprocess
import sys

TOOLS = "x86_64-w64-mingw32-"
# What only the C++ runtime provides, with what it means.
RUNTIME = [
    (r"^_Zn[wa]", "operator new"),
    (r"^_Zd[la]", "operator delete"),
    (r"^__cxa_", "C++ runtime support"),
    (r"^__gxx_personality|^_Unwind_|^__gcc_personality", "exception handling"),
    (r"^_ZTI|^_ZTS|^_ZTV(N10__cxxabiv1|St)", "run-time type information"),
    (r"^_ZN?St|^_ZNKSt|^_ZSt", "the C++ standard library"),
    (r"^atexit$|^__dso_handle$|^_onexit$", "static destructors"),
    (r"^__emutls|^_tls_", "thread-local storage"),
]
# Sections of static constructors, destructors and thread-local data.
BAD_SECTIONS = r"^(\.ctors|\.dtors|\.init_array|\.fini_array|\.tls|\.CRT\$X[CILPT])"


def version(text):
    return tuple(int(x) for x in text.split("."))


def read_allow_list(path):
    """name -> (provider, first version)."""
    allowed, provider = {}, None
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        if line.startswith("["):
            provider = line.strip("[]")
            continue
        words = line.split()
        if len(words) != 2 or not re.match(r"^\d+(\.\d+)+$", words[1]):
            sys.exit("%s:%d: expected NAME FIRST-VERSION" % (path, number))
        allowed[words[0]] = (provider, version(words[1]))
    return allowed


def too_new(provider, first, windows, kmdf):
    """Why a name of this provider and first version is refused, or None."""
    if provider.startswith("KMDF"):
        if kmdf and first > kmdf:
            return "KMDF %s and later, the driver uses KMDF %s" % (".".join(map(str, first)), ".".join(map(str, kmdf)))
    elif windows and first > windows:
        return "Windows %s and later, the driver loads on %s" % (".".join(map(str, first)), ".".join(map(str, windows)))
    return None


def demangle(name):
    r = subprocess.run([TOOLS + "c++filt", name], capture_output=True, text=True)
    return r.stdout.strip() or name


def main():
    args, windows, kmdf, calls = sys.argv[1:], None, None, []
    while args and args[0].startswith("--") and len(args) > 1:
        option, value, args = args[0], args[1], args[2:]
        if option == "--windows":
            windows = version(value)
        elif option == "--kmdf":
            kmdf = version(value)
        elif option == "--calls":
            calls = [l.strip() for l in open(value) if l.strip()]
        else:
            sys.exit(__doc__)
    if len(args) < 2:
        sys.exit(__doc__)
    allowed = read_allow_list(args[0])
    objects = args[1:]
    defined, undefined, problems = set(), {}, []
    for obj in objects:
        out = subprocess.run([TOOLS + "nm", obj], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            parts = line.split()
            if len(parts) == 2 and parts[0] == "U":
                undefined.setdefault(parts[1], set()).add(obj)
            elif len(parts) == 3:
                defined.add(parts[2])
                if parts[2].startswith("_GLOBAL__sub_I") or parts[2].startswith("_GLOBAL__sub_D"):
                    problems.append("%s: static constructor or destructor %s" % (obj, parts[2]))
        heads = subprocess.run([TOOLS + "objdump", "-h", obj], capture_output=True, text=True, check=True).stdout
        for line in heads.splitlines():
            parts = line.split()
            if len(parts) > 2 and parts[0].isdigit() and re.match(BAD_SECTIONS, parts[1]):
                problems.append("%s: section %s (static constructors, destructors or thread-local data)" %
                                (obj, parts[1]))
    imports = {}
    for name, where in undefined.items():
        if name in defined or name.replace("__imp_", "", 1) in defined:
            continue
        bare = name[len("__imp_"):] if name.startswith("__imp_") else name
        imports[bare] = where
    for name in calls:
        imports.setdefault(name, set()).add("the KMDF function table")
    by_provider = {}
    for name in sorted(imports):
        where = ", ".join(sorted(imports[name]))
        runtime = [what for pattern, what in RUNTIME if re.search(pattern, name)]
        if runtime:
            problems.append("%s: %s (%s) needs %s" % (where, demangle(name), name, runtime[0]))
        elif name not in allowed:
            problems.append("%s: %s is not an allowed import (win_avstream_driver/imports.allow)" %
                            (where, demangle(name)))
        else:
            provider, first = allowed[name]
            if name in calls and not provider.startswith("KMDF"):
                problems.append("%s is listed under %s, not as a KMDF method" % (name, provider))
            late = too_new(provider, first, windows, kmdf)
            if late:
                problems.append("%s: %s is %s" % (where, name, late))
            by_provider[provider] = by_provider.get(provider, 0) + 1
    for p in problems:
        print("symbol audit: " + p)
    summary = ", ".join("%d from %s" % (n, p) for p, n in sorted(by_provider.items()))
    target = "" if not windows else " for Windows %s" % ".".join(map(str, windows))
    print("symbol audit%s: %d objects, %d imports (%s)%s" %
          (target, len(objects), len(imports), summary, "" if not problems else ", %d problems" % len(problems)))
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
