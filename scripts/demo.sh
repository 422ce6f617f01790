#!/usr/bin/env bash
# The main job: builds the tree, starts korvel-devhost with a simulated Tarrow
# and shows its live meters with korvelctl until interrupted.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build/normal
"$root/scripts/build.sh" normal "$dir" >/dev/null
export KORVEL_DEVHOST_SOCKET=${KORVEL_DEVHOST_SOCKET:-$(mktemp -d)/devhost.sock}
coproc HOST { exec "$dir/sim/devhost/korvel-devhost" --model "${1:-Tarrow}"; }
trap 'echo quit >&"${HOST[1]}" 2>/dev/null || true; wait' EXIT
read -r ready <&"${HOST[0]}"
echo "$ready" >&2
"$dir/tools/korvelctl" info
sleep 1
"$dir/tools/korvelctl" meters --watch 2>/dev/null
