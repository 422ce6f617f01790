#!/usr/bin/env bash
# ctest-programs.py names the build folder's programs that the tests of a
# label run, also when the build folder's path has spaces and a test runs
# its program through a wrapper; tests without the label and programs
# outside the build folder are left out.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
src="$work/a source"
build="$work/a build, with spaces"
mkdir -p "$src"
cat >"$src/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.22)
project(listing LANGUAGES NONE)
enable_testing()
add_test(NAME direct COMMAND "${CMAKE_BINARY_DIR}/bin dir/alpha" --flag)
add_test(NAME wrapped COMMAND "${CMAKE_SOURCE_DIR}/wrap.sh" "${CMAKE_BINARY_DIR}/beta" "${CMAKE_BINARY_DIR}/alpha")
add_test(NAME other COMMAND "${CMAKE_BINARY_DIR}/gamma")
set_tests_properties(direct wrapped PROPERTIES LABELS "threaded;slow")
set_tests_properties(other PROPERTIES LABELS slow)
CMAKE
cmake -S "$src" -B "$build" >/dev/null || fail "configure"
# CTest describes a test's command only when its program is there.
mkdir -p "$build/bin dir"
for p in "$src/wrap.sh" "$build/bin dir/alpha" "$build/beta" "$build/gamma"; do
  printf '#!/bin/sh\n' >"$p"
  chmod +x "$p"
done
got=$("$root/scripts/ctest-programs.py" "$build" threaded | tr '\n' ' ')
[ "$got" = "alpha beta " ] || fail "threaded: got '$got', expected 'alpha beta '"
got=$("$root/scripts/ctest-programs.py" "$build" slow | tr '\n' ' ')
[ "$got" = "alpha beta gamma " ] || fail "slow: got '$got'"
got=$("$root/scripts/ctest-programs.py" "$build" none | tr '\n' ' ')
[ -z "$got" ] || fail "no such label: got '$got'"
echo "ctest-programs.py: passed"
