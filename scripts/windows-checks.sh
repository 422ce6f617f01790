#!/usr/bin/env bash
# windows-checks.sh [OUT_DIR] [NORMAL_BUILD_DIR]
# What Linux can check of the Windows build of both deliverables:
#   1. every panel source compiles for Windows (mingw-w64 g++ -fsyntax-only
#      -DUNICODE against the Qt 5 headers and the generated moc/uic headers
#      of a normal build), so every Q_OS_WIN branch is compiled; and the
#      device library and korvelctl without GNU extensions;
#   2. every driver source compiles against Microsoft's KMDF headers
#      (third_party/kmdf-1.15, or a WDK's: KORVEL_KMDF_INCLUDE) on top of
#      mingw-w64's DDK, for Windows 7 (NTDDI_WIN7, as the project builds it)
#      with the warnings MSVC's /W4 reports as errors in a WDK project
#      (unused parameters and locals, shadowed names, narrowing conversions),
#      and for the newest Windows with clang -Wpedantic (no extensions MSVC
#      lacks);
#   3. a symbol audit of the driver's objects (no C++ runtime, no static
#      constructors, imports and KMDF methods only from
#      win_avstream_driver/imports.allow, none newer than Windows 7 and KMDF
#      1.11), and an entry of Microsoft's type in the kernel stand-in's KMDF
#      function table for every method the driver calls;
#   4. clang-tidy (bugprone, cert) and clang's static analyzer over the
#      driver and the device library, findings accepted only with a reason
#      (scripts/clang-tidy.conf);
#   5. the size and field offsets of every structure, and the value of every
#      constant and GUID, that the driver takes from the kernel stand-in's
#      headers, against mingw-w64's own DDK headers and Microsoft's KMDF
#      headers;
#   6. the GUIDs of quenby.inf against mingw-w64's headers, the driver
#      package's documented rules (scripts/windows_package.py: kit pinning,
#      DriverVer as Stampinf writes it, KMDF version, the co-installer only in
#      Windows 7's install, DIRIDs, namespace security), and windres on the
#      panel's resource script.
# NORMAL_BUILD_DIR: a configured normal build whose generated panel headers
# are used (they are generated there when missing). Without it, a normal
# configure of its own in OUT_DIR/normal generates only those headers.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/windows}
normal=${2:-}
jobs=${KORVEL_JOBS:-$(nproc)}
target=x86_64-w64-mingw32
cxx=$target-g++-posix
ddk=/usr/$target/include/ddk
mkdir -p "$out"
out=$(cd "$out" && pwd)
start=$(date +%s)
check() { echo "--- $* ($(($(date +%s) - start)) s)"; }
failed=0
fail() {
  echo "windows-checks: $*" >&2
  failed=1
}
# Runs the command scripts DIR/*.sh, JOBS at a time; prints the output of
# those that fail. False when any failed.
run_all() {
  ls "$1"/*.sh | xargs -P "$jobs" -I{} sh -c 'bash "$1" >"$1.log" 2>&1 || { cat "$1.log" >&2; exit 1; }' _ {}
}
# Writes a command line, its words quoted, to a script file.
command_script() {
  local file=$1
  shift
  printf '%q ' "$@" >"$file"
  echo >>"$file"
}

# The panel's targets whose sources ship (the tests run on Linux only).
panel_targets="panel_settings panel_device panel_singleinstance_guard panel_translation panel_levelmeter panel_update
  panel_core Brevanta_Settings_Panel"

check "generated panel headers"
if [ -z "$normal" ]; then
  normal=$out/normal
  if [ ! -f "$normal/CMakeCache.txt" ]; then
    # Only the moc/uic steps of the panel's targets (they wait for the few
    # libraries those targets link), not the tree.
    KORVEL_CMAKE_ARGS="-DKORVEL_BUILD_BENCHMARKS=OFF ${KORVEL_CMAKE_ARGS:-}" \
      KORVEL_BUILD_TARGETS="$(for t in $panel_targets; do echo -n "${t}_autogen "; done)" \
      "$root/scripts/build.sh" normal "$normal" >"$out/normal.log" 2>&1 || {
      cat "$out/normal.log" >&2
      exit 1
    }
  fi
fi
cmake --build "$normal" -j "$jobs" --target $(for t in $panel_targets; do echo -n "${t}_autogen "; done) \
  >"$out/autogen.log" 2>&1 || {
  cat "$out/autogen.log" >&2
  exit 1
}

check "panel sources for Windows (mingw-w64, Qt 5 headers, UNICODE)"
# The normal build's own commands for the product sources, turned into
# Windows ones: the mingw-w64 compiler, the Windows headers instead of the
# stand-ins, the win32-g++ Qt spec, UNICODE as qmake and MSVC builds have it.
rm -rf "$out/panel"
mkdir -p "$out/panel"
python3 - "$normal/compile_commands.json" "$cxx" "$out/panel" $panel_targets <<'EOF'
import json, os, re, shlex, sys
commands, cxx, folder, targets = sys.argv[1], sys.argv[2], sys.argv[3], set(sys.argv[4:])
for e in json.load(open(commands)):
    args = shlex.split(e["command"])
    obj = args[args.index("-o") + 1]
    m = re.match(r"panel/CMakeFiles/([^/]+)\.dir/", obj)
    if not m or m.group(1) not in targets or "_autogen" in e["file"]:
        continue
    # The options start after the compiler (and any launcher before it).
    out, i = [cxx, "-fsyntax-only", "-DUNICODE", "-D_UNICODE"], next(k for k, a in enumerate(args) if a[0] == "-")
    while i < len(args):
        a = args[i]
        if a in ("-o", "-MF", "-MT"):
            i += 2
            continue
        if a == "-isystem":
            spec = args[i + 1]
            out += [a, re.sub(r"mkspecs/linux-g\+\+$", "mkspecs/win32-g++", spec)]
            i += 2
            continue
        if a in ("-c", "-fPIC", "-MD") or (a.startswith("-I") and "/sim/" in a) or re.match(r"-O|-g", a):
            i += 1
            continue
        out.append(a)
        i += 1
    with open(os.path.join(folder, os.path.basename(e["file"]) + ".sh"), "w") as f:
        f.write("cd %s && %s\n" % (shlex.quote(e["directory"]), " ".join(shlex.quote(x) for x in out)))
EOF
count=$(ls "$out"/panel/*.sh 2>/dev/null | wc -l)
[ "$count" -gt 0 ] || fail "no panel sources found in $normal/compile_commands.json"
# Every product source of the panel (not its tests) is checked: a source in
# a target missing from the list above would ship unchecked.
for f in $(cd "$root/panel" && find . -name '*.cpp' -not -path '*/tests/*' | sort); do
  [ -f "$out/panel/$(basename "$f").sh" ] || fail "panel/${f#./} is in no target the Windows check compiles"
done
run_all "$out/panel" || fail "a panel source does not compile for Windows"
echo "$count panel sources"
for f in "$root"/vxtest/*.cpp "$root"/tools/korvelctl.cpp; do
  $cxx -std=c++17 -fsyntax-only -DUNICODE -D_UNICODE -I"$root/vxtest" -Wall -Wextra -Wpedantic -Wshadow -Werror "$f" ||
    fail "$(basename "$f") does not compile for Windows without extensions"
done

check "driver sources against Microsoft's KMDF headers, at /W4, for Windows 7 and the newest Windows"
# Microsoft's KMDF headers: the published ones in third_party/kmdf-1.15, or a
# WDK's (KORVEL_KMDF_INCLUDE=".../Include/wdf/kmdf/1.11"), staged for GCC and
# clang by windows_kmdf.py, with sim/kernel/mingw/kmdf/wdf.h in front of them
# for what MSVC accepts and these compilers do not; the KMDF version as the
# project sets it (quenby.vcxproj).
kmdf_src=${KORVEL_KMDF_INCLUDE:-$root/third_party/kmdf-1.15}
[ -f "$kmdf_src/wdf.h" ] || fail "no KMDF headers in $kmdf_src (KORVEL_KMDF_INCLUDE)"
rm -rf "$out/kmdf"
python3 "$root/scripts/windows_kmdf.py" stage "$kmdf_src" "$out/kmdf"
driver_includes=(-DPOOL_NX_OPTIN=1 -DKMDF_VERSION_MAJOR=1 -DKMDF_VERSION_MINOR=11 -isystem "$root/sim/kernel/mingw/kmdf"
  -isystem "$root/sim/kernel/mingw" -isystem "$out/kmdf" -isystem "$ddk" -I"$root/vxtest")
# The binary ships for Windows 7 and later (TargetVersion Windows7): the
# WDK then builds with these. Without them, mingw-w64's newest Windows.
windows7=(-D_WIN32_WINNT=0x0601 -DNTDDI_VERSION=0x06010000 -DWINVER=0x0601)
# C4100 unused parameter, C4101/C4189 unused locals, C4505 unused functions,
# C4456-C4459 shadowed names, C4244/C4267/C4305 narrowing, C4018/C4389
# signed/unsigned comparison, C4706 assignment in a condition. GCC warns
# inside mingw-w64's own inline __readgsqword (KeGetCurrentThread) at -O2;
# that is the system header, not the driver.
w4=(-Wall -Wextra -Wunused -Wunused-parameter -Wshadow -Wconversion -Wsign-compare -Wparentheses -Werror
  -Wno-array-bounds)
rm -rf "$out/driver" "$out/pedantic"
mkdir -p "$out/driver" "$out/pedantic"
for f in "$root"/win_avstream_driver/*.cpp; do
  name=$(basename "$f" .cpp)
  # The Windows 7 build: objects for the symbol audit and the preprocessed
  # source for the KMDF methods it calls. -fno-allocation-dce: a new and
  # delete pair stays in the object, where the audit sees it, as it would in
  # MSVC's.
  command_script "$out/driver/$name.c.sh" $cxx -std=c++17 -O2 -fno-allocation-dce -c "${windows7[@]}" \
    "${driver_includes[@]}" "${w4[@]}" -o "$out/driver/$name.obj" "$f"
  command_script "$out/driver/$name.ii.sh" $cxx -std=c++17 -E "${windows7[@]}" "${driver_includes[@]}" \
    -o "$out/driver/$name.ii" "$f"
  { echo "set -e"; cat "$out/driver/$name.c.sh" "$out/driver/$name.ii.sh"; } >"$out/driver/$name.sh"
  rm "$out/driver/$name.c.sh" "$out/driver/$name.ii.sh"
  # The newest Windows, with clang -Wpedantic (no extensions MSVC lacks).
  command_script "$out/pedantic/$name.sh" clang++ --target=$target -std=c++17 -fsyntax-only \
    "${driver_includes[@]}" -Wall -Wextra -Wpedantic -Wunreachable-code -Werror "$f"
done
driver_built=1
run_all "$out/driver" || {
  driver_built=0
  fail "a driver source does not compile for Windows 7 against the KMDF headers at /W4 without warnings"
}
run_all "$out/pedantic" || fail "a driver source does not compile for the newest Windows with clang -Wpedantic"

check "symbol audit of the driver objects for Windows 7 and KMDF 1.11"
if [ "$driver_built" = 1 ]; then
  python3 "$root/scripts/windows_kmdf.py" calls "$out/kmdf" "$out/kmdf_calls.txt" "$out"/driver/*.ii &&
    python3 "$root/scripts/windows_symbols.py" --windows 6.1 --kmdf 1.11 --calls "$out/kmdf_calls.txt" \
      "$root/win_avstream_driver/imports.allow" "$out"/driver/*.obj ||
    fail "the driver objects need what a kernel driver for Windows 7 and KMDF 1.11 cannot have"
  python3 "$root/scripts/windows_kmdf.py" table "$out/kmdf" "$root/sim/kernel/src" "$out"/driver/*.ii ||
    fail "the kernel stand-in's function table lacks a KMDF method the driver calls, or types it otherwise"
else
  echo "skipped: not every driver source compiled"
fi

check "static analysis of the driver and the device library (clang-tidy, clang's analyzer)"
# The Windows builds of both, as above (the driver for Windows 7), through
# clang-tidy's bugprone and cert checks and clang's static analyzer; the
# findings accepted, each with its reason, are in scripts/clang-tidy.conf.
# An analysis is kept by the hash of what it read (the preprocessed source,
# the checks, the tool's version), so an unchanged source is not analysed
# again (KORVEL_ANALYSIS_CACHE, default ~/.cache/korvel-analysis; empty: off).
rm -rf "$out/tidy"
mkdir -p "$out/tidy"
tidy_checks=$(python3 "$root/scripts/windows_tidy.py" checks "$root/scripts/clang-tidy.conf")
tidy_cache=${KORVEL_ANALYSIS_CACHE-${XDG_CACHE_HOME:-$HOME/.cache}/korvel-analysis}
tidy_salt=$(echo "$tidy_checks $(clang-tidy --version | tr -d '\n')" | sha256sum | cut -c1-16)
[ -z "$tidy_cache" ] || mkdir -p "$tidy_cache"
# Writes the job that analyses SOURCE (arguments: the job, the source, then
# the compiler's arguments).
tidy_job() {
  local job=$1 source=$2
  shift 2
  {
    printf 'set -e\n'
    if [ -n "$tidy_cache" ]; then
      printf 'key=$( { clang++ -E %s %q | sed "/^#/d"; echo %q; } | sha256sum | cut -c1-32)\n' "$(printf '%q ' "$@")" \
        "$source" "$tidy_salt $source"
      printf 'if [ -f %q/$key ]; then cat %q/$key; exit 0; fi\n' "$tidy_cache" "$tidy_cache"
    fi
    printf 'clang-tidy --quiet %q %q -- %s >%q.out 2>&1 || { cat %q.out; exit 1; }\n' "-checks=$tidy_checks" \
      "$source" "$(printf '%q ' "$@")" "$job" "$job"
    [ -z "$tidy_cache" ] || printf 'cp %q.out %q/$key.tmp && mv %q/$key.tmp %q/$key\n' "$job" "$tidy_cache" \
      "$tidy_cache" "$tidy_cache"
    printf 'cat %q.out\n' "$job"
  } >"$job"
}
for f in "$root"/win_avstream_driver/*.cpp; do
  tidy_job "$out/tidy/driver_$(basename "$f" .cpp).sh" "$f" --target=$target -std=c++17 "${windows7[@]}" \
    "${driver_includes[@]}"
done
for f in "$root"/vxtest/*.cpp; do
  tidy_job "$out/tidy/vxtest_$(basename "$f" .cpp).sh" "$f" --target=$target -std=c++17 -DUNICODE -D_UNICODE \
    -I"$root/vxtest"
done
if run_all "$out/tidy"; then
  python3 "$root/scripts/windows_tidy.py" report "$root/scripts/clang-tidy.conf" "$root" "$out"/tidy/*.sh.log ||
    fail "clang-tidy or the static analyzer found what scripts/clang-tidy.conf does not accept"
else
  fail "a source did not compile for clang-tidy"
fi

check "layouts and constants against mingw-w64's DDK and Microsoft's KMDF headers"
if python3 "$root/scripts/windows_layout.py" "$out/layout_check.cpp" 2>"$out/layout_check.log"; then
  $cxx -std=c++17 -fsyntax-only -DKORVEL_WINDOWS_HEADERS "${driver_includes[@]}" "$out/layout_check.cpp" ||
    fail "the kernel stand-in differs from Windows (see the failed assertions above)"
else
  tail -3 "$out/layout_check.log" >&2
  fail "the layout check could not be written (a driver source does not compile against the stand-in)"
fi

check "quenby.inf GUIDs against mingw-w64's headers"
# Each GUID the INF names, as the Windows headers define it.
cat >"$out/inf_guids.cpp" <<'EOF'
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  name##_VALUE: l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8
#include <devguid.h>
KSCATEGORY_AUDIO: STATIC_KSCATEGORY_AUDIO
KSCATEGORY_RENDER: STATIC_KSCATEGORY_RENDER
KSCATEGORY_CAPTURE: STATIC_KSCATEGORY_CAPTURE
EOF
proxy=$(grep -A1 "define STATIC_CLSID_Proxy" /usr/$target/include/ksproxy.h | tail -1)
{
  $cxx -E -P "$out/inf_guids.cpp" 2>/dev/null | grep -E "^(GUID_DEVCLASS_MEDIA_VALUE|KSCATEGORY_[A-Z]+):"
  echo "CLSID_Proxy: $proxy"
} >"$out/inf_guids.txt"
python3 - "$root/win_avstream_driver/quenby.inf" "$out/inf_guids.txt" <<'EOF' || fail "quenby.inf names a GUID otherwise than Windows"
import re, sys
inf = open(sys.argv[1], encoding="utf-8").read()
def guid(values):
    v = [int(x.strip().rstrip("Ll"), 16) for x in values.split(",")]
    return "{%08X-%04X-%04X-%02X%02X-%s}" % (v[0], v[1], v[2], v[3], v[4], "".join("%02X" % b for b in v[5:]))
windows = {}
for line in open(sys.argv[2]):
    name, values = line.split(":", 1)
    values = values.strip().rstrip(";")
    windows[name.replace("_VALUE", "")] = guid(values)
strings = dict((k.lower(), v) for k, v in re.findall(r'^(\S+)\s*=\s*"(\{[^}]+\})"', inf, flags=re.M))
inf_guids = {"GUID_DEVCLASS_MEDIA": re.search(r"^ClassGuid\s*=\s*(\{[^}]+\})", inf, flags=re.M).group(1),
             "KSCATEGORY_AUDIO": strings.get("kscategory_audio"), "KSCATEGORY_RENDER": strings.get("kscategory_render"),
             "KSCATEGORY_CAPTURE": strings.get("kscategory_capture"), "CLSID_Proxy": strings.get("proxy.clsid")}
bad = 0
for name, value in sorted(inf_guids.items()):
    if name not in windows:
        print("inf guids: %s is not in mingw-w64's headers" % name); bad = 1
    elif (value or "").upper() != windows[name]:
        print("inf guids: %s is %s in quenby.inf, %s in Windows' headers" % (name, value, windows[name])); bad = 1
print("inf guids: %d checked" % len(inf_guids))
sys.exit(bad)
EOF

check "driver package rules (quenby.inf, quenby.vcxproj)"
python3 "$root/scripts/windows_package.py" "$root/win_avstream_driver/quenby.inf" \
  "$root/win_avstream_driver/quenby.vcxproj" || fail "the driver package breaks a rule of Windows' documentation"

check "windres on the panel's resource script"
$target-windres -I "$root/panel/app" -O coff -o "$out/Brevanta_Settings_Panel.res" \
  "$root/panel/app/Brevanta_Settings_Panel.rc" || fail "the panel's resource script does not compile"

if [ "$failed" != 0 ]; then
  echo "=== Windows checks failed ($(($(date +%s) - start)) s)" >&2
  exit 1
fi
echo "=== Windows checks passed ($(($(date +%s) - start)) s)"
