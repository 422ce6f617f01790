#!/usr/bin/env bash
# The main job: builds the tree, starts korvel-devhost with a simulated unit
# (Tarrow unless a model is named) and runs the settings panel against it.
#   scripts/demo.sh [MODEL]            the panel (on Xvfb when there is no display)
#   scripts/demo.sh --meters [MODEL]   live meters in the terminal with korvelctl
# Type host commands (unplug, plug, model NAME, busy MS, stall N) while it runs.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build/normal
mode=panel
if [ "${1:-}" = "--meters" ]; then mode=meters; shift; fi
model=${1:-Tarrow}
"$root/scripts/build.sh" normal "$dir" >/dev/null
export KORVEL_DEVHOST_SOCKET=${KORVEL_DEVHOST_SOCKET:-$(mktemp -d)/devhost.sock}
# The host reads its commands from this terminal; its answers are echoed.
fifo=$(mktemp -u)
mkfifo "$fifo"
# (a background job would otherwise read /dev/null)
exec 4<&0
"$dir/sim/devhost/korvel-devhost" --model "$model" <&4 >"$fifo" &
host=$!
trap 'kill -TERM $host 2>/dev/null || true; wait $host 2>/dev/null; rm -f "$fifo"' EXIT
exec 3<"$fifo"
read -r ready <&3
echo "$ready" >&2
cat <&3 >&2 &
if [ "$mode" = meters ]; then
  "$dir/tools/korvelctl" info
  "$dir/tools/korvelctl" meters --watch 2>/dev/null
elif [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$dir/panel/Brevanta_Settings_Panel"
else
  echo "no display: running the panel on Xvfb (:99)" >&2
  xvfb-run -n 99 -s "-screen 0 1280x800x24" "$dir/panel/Brevanta_Settings_Panel"
fi
