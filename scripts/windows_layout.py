#!/usr/bin/env python3
"""Writes the layout check of the Windows structures and constants quenby uses.

    scripts/windows_layout.py OUTPUT.cpp

Every structure whose layout a driver source needs (as clang computes it
against the kernel stand-in's headers), every integer constant and every GUID
of those headers that a driver source names, becomes a static assertion of
its size, field offsets or value as the stand-in has them. Compiled against
mingw-w64's own DDK headers (scripts/windows-checks.sh does), the file fails
wherever the stand-in differs from Windows. The values are x64 values: the
stand-in keeps Windows widths on x86-64 Linux.
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STANDIN = os.path.join(ROOT, "sim", "kernel", "include")
DRIVER = os.path.join(ROOT, "win_avstream_driver")
CLANG = os.environ.get("CLANGXX", "clang++")
# The stand-in compiles the driver against Microsoft's KMDF headers, staged
# for clang as the build stages them, at the KMDF version of the driver's
# project.
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import windows_kmdf  # noqa: E402

KMDF = tempfile.TemporaryDirectory()
windows_kmdf.stage(os.path.join(ROOT, "third_party", "kmdf-1.15"), os.path.join(KMDF.name, "kmdf"))
FLAGS = ["-std=c++17", "-DPOOL_NX_OPTIN=1", "-DKMDF_VERSION_MAJOR=1", "-DKMDF_VERSION_MINOR=11", "-I" + STANDIN,
         "-I" + os.path.join(STANDIN, "kmdf"), "-isystem", os.path.join(KMDF.name, "kmdf"),
         "-I" + os.path.join(ROOT, "sim"), "-I" + os.path.join(ROOT, "vxtest"), "-I" + DRIVER]

# Objects Windows allocates and hands to the driver, which reads a few fields
# by name: the stand-in declares the documented fields up to the last one the
# driver reads, so their offsets are checked and their sizes are not.
PREFIX_ONLY = {"DEVICE_OBJECT", "FILE_OBJECT"}

# What mingw-w64's DDK headers lack or spell otherwise, so that a check
# cannot compile against them. Each with the reason.
SKIP_FIELDS = {
    # The name of the union member beside FileAlignment in current WDKs.
    ("KS_FRAMING_ITEM", "FramePitch"),
}
# Records whose size alone is shared: their members are private to Windows.
SIZE_ONLY = {"KAPC"}
SKIP_RECORDS = {
    # The dispatcher header is a union of private layouts in Windows; the
    # stand-in keeps its size and the first byte (the object type) only.
    "DISPATCHER_HEADER",
}


def driver_sources():
    return sorted(glob.glob(os.path.join(DRIVER, "*.cpp")))


def defined_in_standin(name, headers_text):
    return re.search(r"(struct|union)\s+%s\s*\{|\}\s*%s\s*[,;]" % (re.escape(name), re.escape(name)),
                     headers_text) is not None


def typedef_names(tag, headers_text):
    """The names a typedef gives the record `tag` (or the typedef-only record `tag`)."""
    names = []
    for m in re.finditer(r"typedef\s+(?:struct|union)\s+%s\s*\{" % re.escape(tag), headers_text):
        depth, i = 1, m.end()
        while depth:
            depth += {"{": 1, "}": -1}.get(headers_text[i], 0)
            i += 1
        names += re.findall(r"\*?\s*(\w+)", headers_text[i:headers_text.index(";", i)])
    names += re.findall(r"typedef\s+(?:struct|union)\s+%s\s+(\w+)" % re.escape(tag), headers_text)
    if re.search(r"\}\s*%s\s*[,;]" % re.escape(tag), headers_text):
        names.append(tag)
    return names


def typedef_name(tag, headers_text, used):
    names = [n for n in typedef_names(tag, headers_text) if not n.startswith("P")]
    for n in names:
        if n in used:
            return n
    return names[0] if names else None


def record_layouts(headers_text, used):
    """{type name: (sizeof, alignof, [(field path, offset)])} of the stand-in records the driver
    names, and of the records they contain."""
    records, members = {}, {}
    for src in driver_sources():
        out = subprocess.run([CLANG, "-fsyntax-only"] + FLAGS + ["-Xclang", "-fdump-record-layouts", src],
                             capture_output=True, text=True, check=True).stdout
        for block in out.split("*** Dumping AST Record Layout")[1:]:
            lines = [l for l in block.split("\n") if "|" in l]
            head = re.match(r"\s*\S+ \| (?:(?:struct|union|class) )?(.*)$", lines[0]).group(1).strip()
            if "(" in head or "::" in head:
                continue  # a nested piece; it is checked with its parent
            if not defined_in_standin(head, headers_text):
                continue  # the driver's own types
            name = typedef_name(head, headers_text, used)
            if name is None and re.search(r"struct\s+%s\s*\{" % re.escape(head), headers_text):
                name = "struct " + head
            if name is None or name in records or name in SKIP_RECORDS:
                continue
            fields, stack, size, align, inner = [], [], None, None, set()
            for l in lines[1:]:
                off, rest = l.split("|", 1)
                if rest.strip().startswith("["):
                    m = re.search(r"sizeof=(\d+), dsize=\d+, align=(\d+)", " ".join(x.split("|", 1)[1] for x in lines))
                    size, align = int(m.group(1)), int(m.group(2))
                    break
                depth = (len(rest) - len(rest.lstrip(" "))) // 2
                text = rest.strip()
                while stack and stack[-1][0] >= depth:
                    stack.pop()
                anonymous = re.search(r"\((anonymous|unnamed) at [^)]*\)$", text) is not None
                type_text, _, member = text.rpartition(" ")
                unnamed_type = re.search(r"\((anonymous|unnamed) at ", type_text) is not None
                # Members of a member of a named type are checked with that type.
                visible = all(s[2] for s in stack)
                path = ".".join([s[1] for s in stack if s[1]] + ([] if anonymous else [member]))
                bitfield = ":" in off
                if visible and not anonymous and not bitfield and (name, path) not in SKIP_FIELDS:
                    fields.append((path, int(off.strip())))
                stack.append((depth, "" if anonymous else member, anonymous or unnamed_type))
                if visible:
                    inner.add(re.sub(r"^(const |struct |union |enum )+", "", type_text).split("[")[0].strip())
            records[name] = (size, align, [] if name in SIZE_ONLY else fields)
            members[name] = inner | {head}
    # Keep what the driver names (the type or its pointer type), then what those hold.
    def named(n):
        bare = n.replace("struct ", "")
        return bare in used or "P" + bare in used or "P" + bare.lstrip("_") in used

    keep = {n for n in records if named(n)}
    todo = list(keep)
    while todo:
        for t in members[todo.pop()]:
            for n in records:
                if n not in keep and t in members[n] and t.lstrip("_") == n.replace("struct ", "").lstrip("_"):
                    keep.add(n)
                    todo.append(n)
    return {n: records[n] for n in keep}


def used_identifiers():
    text = ""
    for f in glob.glob(os.path.join(DRIVER, "*.cpp")) + glob.glob(os.path.join(DRIVER, "*.h")):
        text += open(f, encoding="utf-8").read()
    text = re.sub(r"//[^\n]*|/\*.*?\*/|\"(\\.|[^\"\\])*\"", " ", text, flags=re.S)
    return set(re.findall(r"\b[A-Za-z_][A-Za-z0-9_]*\b", text))


def compile_ok(source, flags):
    with tempfile.NamedTemporaryFile("w", suffix=".cpp", delete=False) as f:
        f.write(source)
    try:
        r = subprocess.run([CLANG, "-fsyntax-only"] + flags + [f.name], capture_output=True, text=True)
        return r.returncode == 0, r.stderr, f.name
    finally:
        os.unlink(f.name)


# The driver's own order (quenby.h): kernel mode has no GDI bitmaps.
INCLUDES = ("#include <stddef.h>\n#include <ntifs.h>\n#include <windef.h>\n#define NOBITMAP\n#include <ks.h>\n"
            "#include <ksmedia.h>\n#include <mmreg.h>\n#include <usb.h>\n#include <usbdlib.h>\n#include <wdf.h>\n"
            "#include <wdfminiport.h>\n#include <wdfusb.h>\n")


def constants(headers_text, used):
    """{name: value} of the integer constants of the stand-in headers the driver names."""
    driver_text = "".join(open(f, encoding="utf-8").read()
                          for f in glob.glob(os.path.join(DRIVER, "*.cpp")) + glob.glob(os.path.join(DRIVER, "*.h")))
    names = set(re.findall(r"^\s*#\s*define\s+([A-Za-z_]\w*)\s+\S", headers_text, flags=re.M))
    with tempfile.NamedTemporaryFile("w", suffix=".cpp", delete=False) as f:
        f.write(INCLUDES)
    try:
        ast = subprocess.run([CLANG, "-fsyntax-only"] + FLAGS + ["-Xclang", "-ast-dump", f.name],
                             capture_output=True, text=True, check=True).stdout
    finally:
        os.unlink(f.name)
    names |= set(re.findall(r"EnumConstantDecl 0x[0-9a-f]+ <[^>]*> \S+ (?:referenced )?(\w+) '", ast))
    names = {n for n in names if n in used and not re.search(r"#\s*define\s+%s\b|\b%s\s*=" % (n, n), driver_text)}
    names = sorted(names)
    # Keep those that are integral constant expressions against the stand-in.
    # One compile of them all; those the compiler names are dropped, until
    # the rest compiles.
    keep = list(names)
    while keep:
        lines = ["template <long long V> struct K {};"] + ["K<(long long)(%s)> k_%s;" % (n, n) for n in keep]
        ok, err, _ = compile_ok(INCLUDES + "\n".join(lines) + "\n", FLAGS)
        if ok:
            break
        first = INCLUDES.count("\n") + 2  # line of the first candidate
        bad = {int(m) - first for m in re.findall(r"\.cpp:(\d+):\d+: error", err)}
        bad = {i for i in bad if 0 <= i < len(keep)}
        if not bad:
            sys.exit("windows_layout.py: cannot tell the constants apart:\n" + err)
        keep = [n for i, n in enumerate(keep) if i not in bad]
    prog = INCLUDES + "#include <cstdio>\nint main() {\n" + "".join(
        '  std::printf("%%s %%lld\\n", "%s", (long long)(%s));\n' % (n, n) for n in keep) + "}\n"
    with tempfile.TemporaryDirectory() as d:
        src, exe = os.path.join(d, "c.cpp"), os.path.join(d, "c")
        open(src, "w").write(prog)
        subprocess.run([CLANG] + FLAGS + [src, "-o", exe], check=True, capture_output=True)
        out = subprocess.run([exe], capture_output=True, text=True, check=True).stdout
    return dict((l.split()[0], int(l.split()[1])) for l in out.splitlines())


def guids(headers_text, used):
    found = {}
    for m in re.finditer(r"DEFINE_GUID\(\s*(\w+)\s*,([^;]*?)\)\s*;", headers_text, flags=re.S):
        name, values = m.group(1), [v.strip() for v in m.group(2).split(",")]
        if name in used and len(values) == 11:
            found[name] = values
    return found


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    headers_text = ""
    for h in glob.glob(os.path.join(STANDIN, "*.h")) + glob.glob(os.path.join(STANDIN, "kmdf", "*.h")):
        headers_text += open(h, encoding="utf-8").read() + "\n"
    used = used_identifiers()
    records = record_layouts(headers_text, used)
    consts = constants(headers_text, used)
    guid_values = guids(headers_text, used)

    out = ["// Generated by scripts/windows_layout.py from the kernel stand-in's headers",
           "// and the driver's use of them. Do not edit: run the script.",
           INCLUDES, "namespace {", "struct GuidValue {", "  unsigned long long d1;",
           "  unsigned d2, d3;", "  unsigned char d4[8];", "};",
           "constexpr bool Same(const GuidValue& a, const GuidValue& b) {",
           "  for (int i = 0; i < 8; ++i)", "    if (a.d4[i] != b.d4[i]) return false;",
           "  return a.d1 == b.d1 && a.d2 == b.d2 && a.d3 == b.d3;", "}",
           "constexpr GuidValue Of(const GUID& g) {",
           "  return {g.Data1, g.Data2, g.Data3, {g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],",
           "                                     g.Data4[5], g.Data4[6], g.Data4[7]}};", "}", "}  // namespace", ""]
    count = 0
    for name in sorted(records):
        size, align, fields = records[name]
        out.append("// %s" % name)
        if name not in PREFIX_ONLY:
            out.append('static_assert(sizeof(%s) == %d, "sizeof %s");' % (name, size, name))
            out.append('static_assert(alignof(%s) == %d, "alignof %s");' % (name, align, name))
            count += 2
        for path, off in fields:
            out.append('static_assert(offsetof(%s, %s) == %d, "%s.%s");' % (name, path, off, name, path))
            count += 1
    out.append("")
    out.append("// Constants")
    for name in sorted(consts):
        out.append('static_assert((long long)(%s) == %dLL, "%s");' % (name, consts[name], name))
        count += 1
    out.append("")
    out.append("// GUIDs: against the STATIC_ form of Windows' headers where they have one.")
    for name in sorted(guid_values):
        v = guid_values[name]
        expect = "GuidValue{%s, %s, %s, {%s}}" % (v[0], v[1], v[2], ", ".join(v[3:]))
        out.append("#if defined(KORVEL_WINDOWS_HEADERS) && defined(STATIC_%s)" % name)
        out.append('static_assert(Same(GuidValue{STATIC_%s}, %s), "%s");' % (name, expect, name))
        out.append("#elif !defined(KORVEL_WINDOWS_HEADERS)")
        out.append('static_assert(Same(Of(%s), %s), "%s");' % (name, expect, name))
        out.append("#endif")
        count += 1
    out.append("")
    out.append("// %d checks" % count)
    open(sys.argv[1], "w").write("\n".join(out) + "\n")
    # The file must hold against the stand-in it was taken from.
    ok, err, _ = compile_ok(open(sys.argv[1]).read(), FLAGS)
    if not ok:
        sys.exit("windows_layout.py: the generated checks fail against the stand-in:\n" + err)
    print("windows_layout.py: %d checks (%d structures, %d constants, %d GUIDs) in %s" %
          (count, len(records), len(consts), len(guid_values), sys.argv[1]))


if __name__ == "__main__":
    main()
