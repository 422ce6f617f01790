#!/usr/bin/env bash
# format-check.sh: every C and C++ source of the product directories (the
# driver, the device library, the tools and the panel, their tests included)
# is formatted as the repository's .clang-format says. Checks only: prints
# each place that differs and fails; `clang-format -i FILE` mends a file.
# The stand-ins under sim/ are not checked here.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
dirs="win_avstream_driver vxtest tools panel"
files=$(git ls-files $dirs | grep -E '\.(c|cc|cpp|h|hpp)$')
[ -n "$files" ] || { echo "format-check: no sources found under $dirs" >&2; exit 1; }
echo "$files" | xargs clang-format --dry-run -Werror || {
  echo "format-check: the sources above differ from .clang-format (clang-format -i FILE)" >&2
  exit 1
}
echo "format-check: $(echo "$files" | wc -l) sources formatted"
