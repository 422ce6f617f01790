#!/usr/bin/env bash
# Installs everything the build and the tests need (Debian, apt-get, as root).
# Idempotent: when every package is present it returns without touching apt.
set -eu
packages=(
  build-essential cmake ninja-build ccache pkg-config git lld
  clang llvm libclang-rt-dev clang-format clang-tidy clang-tools
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 python3
  qtbase5-dev libqt5svg5-dev qttools5-dev-tools qttools5-dev libssl-dev
  xvfb xauth procps
  unzip zlib1g-dev openssl osslsigncode fonts-ipafont-gothic fonts-wqy-microhei
)
# One dpkg-query for all of them: the demo and the test command run this
# every time, and a query per package took seconds on a loaded machine.
declare -A installed=()
while IFS=$'\t' read -r name status; do
  [ "$status" = "install ok installed" ] && installed[$name]=1
done < <(dpkg-query -W -f='${Package}\t${Status}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for p in "${packages[@]}"; do
  [ -n "${installed[$p]:-}" ] || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup-deps: all ${#packages[@]} packages present"
  exit 0
fi
as_root=()
if [ "$(id -u)" != 0 ]; then
  if command -v sudo >/dev/null; then
    as_root=(sudo env DEBIAN_FRONTEND=noninteractive)
  else
    echo "setup-deps: missing packages (${missing[*]}); run scripts/setup-deps.sh as root once" >&2
    exit 1
  fi
fi
echo "setup-deps: installing ${#missing[@]} packages (${missing[*]}); this takes a few minutes"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
