#!/usr/bin/env python3
"""The driver against Microsoft's KMDF headers: staging, calls, declarations.

    scripts/windows_kmdf.py stage KMDF_DIR OUT_DIR
        Copies the KMDF headers (the vendored third_party/kmdf-1.15, or a WDK's
        kmdf folder) for GCC and clang: MSVC accepts what these compilers do not,
        so two things change, nothing else: an enum used before its definition
        ("typedef enum _X X;") gets int as its fixed underlying type at both
        places, as MSVC gives every enum; and each header that another includes
        by a name differing in case ("WdfWMI.h" for wdfwmi.h) gets a forwarding
        file of that name (Windows' file names ignore case).

    scripts/windows_kmdf.py calls KMDF_DIR OUT_FILE PREPROCESSED...
        Writes the KMDF methods the driver calls, one a line, for the symbol audit
        (scripts/windows_symbols.py --calls): every method (a name with a
        function-table index in wdffuncenum.h) named on the driver's own lines of
        its preprocessed sources, macros the driver expands (the context type
        declarations) included. The driver's objects show only the function
        table, through which every method is called.

    scripts/windows_kmdf.py table KMDF_DIR STANDIN_SRC PREPROCESSED...
        For every KMDF method the driver calls: the kernel stand-in, which compiles
        the driver against these same headers, has an entry for it in the
        framework's function table (STANDIN_SRC/wdf_methods.h, whose list names
        each method with the type of its entry, or STANDIN_SRC/wdf_table.cpp),
        and that type is the one Microsoft's headers give the method. The
        compiler holds each implementation to that type. Prints each difference;
        fails when there is one.
"""
import os
import re
import sys


def read(path):
    return open(path, encoding="utf-8", errors="replace").read()


def headers(folder):
    return {f: read(os.path.join(folder, f)) for f in sorted(os.listdir(folder)) if f.lower().endswith(".h")}


def stage(src, dst):
    files = headers(src)
    forward = set()
    for text in files.values():
        forward |= set(re.findall(r"typedef\s+enum\s+(\w+)\s+\w+\s*;", text))
    os.makedirs(dst, exist_ok=True)
    included = set()
    for name, text in files.items():
        for tag in forward:
            text = re.sub(r"typedef\s+enum\s+%s\s+(\w+)\s*;" % tag, r"enum %s : int; typedef enum %s \1;" % (tag, tag),
                          text)
            text = re.sub(r"\benum\s+%s\s*\{" % tag, "enum %s : int {" % tag, text)
        with open(os.path.join(dst, name), "w", encoding="utf-8") as f:
            f.write(text)
        included |= set(re.findall(r'#\s*include\s+"([^"]+)"', text))
    lower = {n.lower(): n for n in files}
    aliases = 0
    for name in sorted(included):
        if name not in files and name.lower() in lower:
            with open(os.path.join(dst, name), "w", encoding="utf-8") as f:
                f.write('#include "%s"\n' % lower[name.lower()])
            aliases += 1
    print("kmdf headers: %d staged from %s (%d enums used before their definition, %d names by another case)" %
          (len(files), src, len(forward), aliases))


def table_methods(kmdf):
    enum = read(os.path.join(kmdf, "wdffuncenum.h"))
    return set(re.findall(r"\b(Wdf\w+)TableIndex\b", enum))


def driver_calls(methods, preprocessed):
    """The KMDF methods named on the driver's own lines, with the sources naming each."""
    calls = {}
    for path in preprocessed:
        own = False
        for line in open(path, encoding="utf-8", errors="replace"):
            m = re.match(r'#\s*\d+\s+"([^"]*)"', line)
            if m:
                own = "/win_avstream_driver/" in m.group(1).replace("\\", "/")
                continue
            if own:
                for name in re.findall(r"\b(Wdf\w+)\s*\(", line):
                    if name in methods:
                        calls.setdefault(name, set()).add(os.path.basename(path).split(".")[0])
    return calls


SAL = re.compile(r"\b(_[A-Z][A-Za-z0-9]*(?:_[A-Za-z0-9]+)*_|__drv_\w+)\s*(\((?:[^()]|\((?:[^()]|\([^()]*\))*\))*\))?")


def normal_type(text):
    """A parameter or result type without annotations, names and spacing."""
    text = SAL.sub(" ", text)
    text = re.sub(r"\b(WDFAPI|FORCEINLINE|extern|inline|NTAPI)\b", " ", text)
    text = re.sub(r"\bVOID\b", "void", text)
    text = re.sub(r"\bCONST\b", "const", text)
    text = re.sub(r"\s*\*\s*", "*", text)
    return " ".join(text.split())


def split_params(params):
    out, depth, cur = [], 0, ""
    for ch in params:
        if ch == "," and depth == 0:
            out.append(cur)
            cur = ""
            continue
        depth += ch == "("
        depth -= ch == ")"
        cur += ch
    if cur.strip():
        out.append(cur)
    types = []
    for p in out:
        p = normal_type(p)
        # Drop the parameter's name: the last identifier after a type.
        m = re.match(r"^(.*?[\w*])\s*\b([A-Za-z_]\w*)$", p)
        if m and m.group(1).strip() not in ("", "const", "struct"):
            p = m.group(1)
        types.append(normal_type(p))
    return [] if types == ["void"] else types


def microsoft_declarations(kmdf):
    """name -> (header to include, result, [parameter types]) from the function-pointer types."""
    files = headers(kmdf)
    umbrella = {inc.lower(): "wdf.h" for inc in re.findall(r'#\s*include\s+"([^"]+)"', files["wdf.h"])}
    out = {}
    for name, text in files.items():
        for m in re.finditer(
                r"//\s*WDF Function:\s*(\w+)\s*//\s*typedef(.*?)\(\s*(\w+\s+)?\*\s*(PFN_\w+)\s*\)\s*\((.*?)\)\s*;",
                text,
                flags=re.S):
            params = split_params(m.group(5))
            header = umbrella.get(name.lower(), name.lower())
            result = normal_type(m.group(2) + " " + (m.group(3) or ""))  # with the calling convention
            out[m.group(1)] = (header, result, params[1:], m.group(4))  # without DriverGlobals
    return out


def standin_table(src):
    """name -> the entry type the stand-in's list gives it ("" for wdf_table.cpp's own entries)."""
    out = {}
    listed = read(os.path.join(src, "wdf_methods.h"))
    for m in re.finditer(r"\bX\(\s*(Wdf\w+)\s*,[\s\\]*(PFN_\w+)\s*\)", listed):
        out[m.group(1)] = m.group(2)
    for m in re.finditer(r"\btable\[(Wdf\w+)TableIndex\]\s*=", read(os.path.join(src, "wdf_table.cpp"))):
        out.setdefault(m.group(1), "")
    return out


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    cmd = sys.argv[1]
    if cmd == "stage":
        stage(sys.argv[2], sys.argv[3])
        return
    kmdf = sys.argv[2]
    calls = driver_calls(table_methods(kmdf), sys.argv[4:])
    if not calls:
        sys.exit("windows_kmdf: no KMDF method found in the driver's preprocessed sources")
    bad = []
    if cmd == "calls":
        with open(sys.argv[3], "w") as f:
            f.write("".join(name + "\n" for name in sorted(calls)))
        print("kmdf calls: the driver calls %d KMDF methods" % len(calls))
    elif cmd == "table":
        ms, ours = microsoft_declarations(kmdf), standin_table(sys.argv[3])
        for name in sorted(calls):
            if name not in ms:
                bad.append("%s: no declaration found in %s" % (name, kmdf))
            elif name not in ours:
                bad.append("%s: no entry in the stand-in's function table (Microsoft: %s)" % (name, ms[name][0]))
            elif ours[name] and ours[name] != ms[name][3]:
                bad.append("%s: entry type %s in the stand-in, %s in Microsoft's %s" %
                           (name, ours[name], ms[name][3], ms[name][0]))
        print("kmdf table: %d methods the driver calls, %d without the stand-in's entry of Microsoft's type" %
              (len(calls), len(bad)))
    else:
        sys.exit(__doc__)
    for b in bad:
        print("kmdf: " + b)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
