#!/usr/bin/env bash
# build.sh [normal|asan|tsan|mingw|windows] [BUILD_DIR]
# Configures and builds one flavour of the tree (all of it, or the targets
# named in KORVEL_BUILD_TARGETS). "windows" runs the Windows checks
# (scripts/windows-checks.sh) with a normal configure of their own.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-normal}
dir=${2:-$root/build/$flavour}
jobs=${KORVEL_JOBS:-$(nproc)}
launcher=()
# Extra configure options, e.g. KORVEL_CMAKE_ARGS="-DKORVEL_BUILD_PANEL=OFF".
read -r -a extra <<< "${KORVEL_CMAKE_ARGS:-}"
if command -v ccache >/dev/null; then launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
# Every flavour this script builds is a CI flavour: warnings are errors.
launcher+=(-DKORVEL_WERROR=ON)  # passed with the launcher options to every flavour
# Line tables rather than full debug information: sanitizer reports and
# backtraces keep file and line, and the build takes about a third less time
# (a build of your own with -g has the variables too).
ci_flags=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
  -DCMAKE_C_FLAGS_DEBUG="-g1" -DCMAKE_CXX_FLAGS_DEBUG="-g1")
# lld links the large test programs several times faster than the default
# linker.
if command -v ld.lld >/dev/null; then
  ci_flags+=(-DCMAKE_EXE_LINKER_FLAGS="-fuse-ld=lld" -DCMAKE_SHARED_LINKER_FLAGS="-fuse-ld=lld")
fi
case "$flavour" in
  normal)
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "${ci_flags[@]}" "${extra[@]}" ;;
  asan)
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DKORVEL_SANITIZE=address -DKORVEL_BUILD_BENCHMARKS=OFF "${launcher[@]}" "${ci_flags[@]}" "${extra[@]}" ;;
  tsan)
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DKORVEL_SANITIZE=thread -DKORVEL_BUILD_BENCHMARKS=OFF "${launcher[@]}" "${ci_flags[@]}" "${extra[@]}" ;;
  mingw)
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" "${launcher[@]}" "${extra[@]}" ;;
  windows)
    exec "$root/scripts/windows-checks.sh" "$dir" ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
# KORVEL_BUILD_TARGETS: build only these targets (and what they need).
read -r -a targets <<< "${KORVEL_BUILD_TARGETS:-}"
if [ ${#targets[@]} -gt 0 ]; then
  cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
else
  cmake --build "$dir" -j "$jobs"
fi
