#!/usr/bin/env bash
# build.sh [normal|asan|tsan|mingw] [BUILD_DIR]
# Configures and builds one flavour of the tree (all of it, or the targets
# named in KORVEL_BUILD_TARGETS).
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
case "$flavour" in
  normal)
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "${extra[@]}" ;;
  asan)
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DKORVEL_SANITIZE=address -DKORVEL_BUILD_BENCHMARKS=OFF "${launcher[@]}" "${extra[@]}" ;;
  tsan)
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DKORVEL_SANITIZE=thread -DKORVEL_BUILD_BENCHMARKS=OFF "${launcher[@]}" "${extra[@]}" ;;
  mingw)
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" "${launcher[@]}" "${extra[@]}" ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
# KORVEL_BUILD_TARGETS: build only these targets (and what they need).
read -r -a targets <<< "${KORVEL_BUILD_TARGETS:-}"
if [ ${#targets[@]} -gt 0 ]; then
  cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
else
  cmake --build "$dir" -j "$jobs"
fi
