#!/usr/bin/env bash
# The main job in one command: installs what the build needs, builds, starts
# korvel-devhost with a simulated unit and opens the settings panel on it.
# Everything it starts ends with it; nothing stays behind.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  cat <<'EOF'
usage: scripts/demo.sh [--meters] [--vnc [PORT]] [--screenshots DIR] [MODEL]
       scripts/demo.sh --help

Starts a simulated KORVEL unit (korvel-devhost) and opens the Brevanta settings
panel on it. MODEL is one of Tarrow (default), Quenby, Pellin, Dorrit,
"Far Link". Without a display the panel runs on a free virtual display (Xvfb).

  --meters            show the unit's live meters in this terminal (korvelctl)
                      instead of the panel; the view keeps running through
                      unplug and plug
  --vnc [PORT]        show the panel through VNC instead of a display, for a
                      machine without one (a server reached over SSH, a
                      container). It listens on 127.0.0.1 only (port 5900 by
                      default), never on the network; from your own computer:
                        ssh -L 5900:127.0.0.1:5900 USER@THIS-MACHINE
                      then point a VNC viewer at localhost:5900. No password:
                      other users of this machine could connect too.
  --screenshots DIR   save a picture of the panel's meter page into DIR every
                      5 s, or every KORVEL_DEMO_SHOT_SECONDS when that is set
                      (meters-0001.png, ...). The panel runs on VNC for it
                      (on a free local port unless --vnc names one) with
                      settings of its own, so that no reminder box waits for
                      a click; your own settings are not touched.
  --help              this text

While it runs, type host commands here, one per line:
  unplug | plug | model NAME | busy MS | stall N | stall-timeout N
  stream on|off | level N DB|off | quit
`quit` (or Ctrl-C) ends the host, the panel and this script; closing the panel
ends the host too.

The first run installs missing Debian packages (as root) and builds the tree:
about 4 to 6 minutes on two cores. Later runs reuse the build and start in
seconds. KORVEL_DEMO_BUILD=DIR runs a build folder as it is, without building.
EOF
}

mode=panel
model=""
vnc_port=""
shots=""
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --meters) mode=meters ;;
    --vnc)
      vnc_port=5900
      if [ $# -gt 1 ] && [[ $2 =~ ^[0-9]+$ ]]; then
        vnc_port=$2
        shift
        if [ "$vnc_port" -lt 1 ] || [ "$vnc_port" -gt 65535 ]; then
          echo "demo.sh: --vnc PORT must be from 1 to 65535" >&2; exit 2
        fi
      fi ;;
    --screenshots)
      if [ $# -lt 2 ] || [ -z "$2" ]; then echo "demo.sh: --screenshots needs a folder (see --help)" >&2; exit 2; fi
      shots=$2
      shift ;;
    -*) echo "demo.sh: unknown option $1 (see scripts/demo.sh --help)" >&2; exit 2 ;;
    *)
      if [ -n "$model" ]; then echo "demo.sh: one model only (see --help)" >&2; exit 2; fi
      model=$1 ;;
  esac
  shift
done
model=${model:-Tarrow}
case "$model" in
  Tarrow | Quenby | Pellin | Dorrit | "Far Link") ;;
  *) echo "demo.sh: unknown model \"$model\" (Tarrow, Quenby, Pellin, Dorrit, \"Far Link\")" >&2; exit 2 ;;
esac
if [ "$mode" = meters ] && [ -n "$vnc_port$shots" ]; then
  echo "demo.sh: --meters shows no panel; --vnc and --screenshots go with the panel" >&2
  exit 2
fi
if [ -n "$shots" ]; then
  mkdir -p "$shots" && shots=$(cd "$shots" && pwd) || { echo "demo.sh: cannot make the folder $shots" >&2; exit 2; }
fi

# One demo at a time per user: a second one would find the first one's panel
# (the panel hands over to a running instance) and end without a word.
lock=${XDG_RUNTIME_DIR:-/tmp}/korvel-demo-$(id -u).lock
exec 9<>"$lock"
if ! flock -n 9; then
  echo "demo.sh: a demo is already running (pid $(head -c 16 "$lock" 2>/dev/null || echo '?')); type quit there first" >&2
  exit 1
fi
echo $$ >"$lock"

# Its word goes to the terminal, not into the meter view on standard output.
"$root/scripts/setup-deps.sh" >&2

if [ -n "${KORVEL_DEMO_BUILD:-}" ]; then
  dir=$KORVEL_DEMO_BUILD
else
  dir=$root/build/normal
  if [ ! -f "$dir/build.ninja" ]; then
    echo "demo.sh: building into $dir (the first build takes a few minutes)" >&2
    "$root/scripts/build.sh" normal "$dir" >&2
  else
    echo "demo.sh: bringing $dir up to date" >&2
    cmake --build "$dir" -j "${KORVEL_JOBS:-$(nproc)}" >&2
  fi
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/korvel-demo.XXXXXX")
chmod 0700 "$tmp"
pids=()
exec 4<&0  # a background job would otherwise read /dev/null
# Ends a process and everything it started (xvfb-run's server and panel, the
# meter view's korvelctl).
kill_tree() {
  local child
  for child in $(pgrep -P "$1" 2>/dev/null); do kill_tree "$child"; done
  kill -TERM "$1" 2>/dev/null || true
}
cleanup() {
  trap - EXIT INT TERM
  # The panel first (before its display server, so it closes rather than
  # losing X; and before the host, so its last requests find the unit). The
  # panel takes SIGTERM as a close and saves its settings on the way out.
  local p panel panels=()
  for p in "${pids[@]}"; do
    for panel in $(pgrep -P "$p" Brevanta_Setti) $(pgrep -P "$(pgrep -P "$p" | paste -sd, -)" Brevanta_Setti 2>/dev/null) \
      $(pgrep -P $$ Brevanta_Setti); do
      panels+=("$panel")
      kill -TERM "$panel" 2>/dev/null || true
    done
  done
  for _ in $(seq 30); do
    alive=0
    for panel in "${panels[@]}"; do kill -0 "$panel" 2>/dev/null && alive=1; done
    [ "$alive" = 0 ] && break
    sleep 0.1
  done
  # The terminal meter view too, so that it does not report the host's end.
  if [ "$mode" = meters ] && [ -n "${front:-}" ]; then
    kill_tree "$front"
    wait "$front" 2>/dev/null || true
  fi
  if [ -n "${host:-}" ] && kill -0 "$host" 2>/dev/null; then
    printf 'quit\n' >&5 2>/dev/null || true
    for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$host" 2>/dev/null || break; sleep 0.1; done
  fi
  for p in "${pids[@]}"; do kill_tree "$p"; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Qt wants a private runtime folder; without one it warns and picks its own.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR=/tmp/runtime-$(id -un)
  mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
fi

# The demo's own host: its socket lives in the demo's folder, so a host or a
# test elsewhere is never disturbed.
export KORVEL_DEVHOST_SOCKET=$tmp/devhost.sock
mkfifo "$tmp/host-in" "$tmp/host-out"
"$dir/sim/devhost/korvel-devhost" --model "$model" --play-audio <"$tmp/host-in" >"$tmp/host-out" 2>&2 &
pids+=($!)
host=$!
exec 5>"$tmp/host-in"  # keeps the host's input open while we forward ours
exec 6<"$tmp/host-out"
if ! read -r -t 30 ready <&6; then
  echo "demo.sh: korvel-devhost did not start" >&2
  exit 1
fi
echo "demo.sh: $ready" >&2
# The host's answers go to this terminal.
cat <&6 >&2 &
pids+=($!)

# TCP listeners (state 0A) on a port: "address" lines, in the kernel's hex.
listeners() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v port="$hex" 'FNR > 1 && $4 == "0A" { split($2, a, ":"); if (a[2] == port) print a[1] }' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
# 127.0.0.1, ::1 and ::ffff:127.0.0.1 as /proc/net shows them.
is_loopback() {
  case "$1" in
    0100007F | 00000000000000000000000001000000 | 0000000000000000FFFF00000100007F) return 0 ;;
    *) return 1 ;;
  esac
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The panel on Qt's VNC platform. Qt's VNC server listens on every address
# and has no option for another: a preloaded library turns its bind into
# one on loopback, and the demo checks the result before it says where to
# connect.
start_vnc_panel() {
  local port=${vnc_port:-$(free_port)} address
  if [ -n "$(listeners "$port")" ]; then
    echo "demo.sh: port $port is in use already; choose another with --vnc PORT" >&2
    exit 1
  fi
  local env=(QT_QPA_PLATFORM="vnc:size=1120x680:port=$port" LD_PRELOAD="$dir/tools/libkorvel_loopback_only.so")
  if [ -n "$shots" ]; then
    # Settings of its own: no reminder box waiting for a click.
    mkdir -p "$tmp/config/KORVEL"
    printf '[PopupMessage]\nWakeUp=false\n' >"$tmp/config/KORVEL/Brevanta.ini"
    env+=(XDG_CONFIG_HOME="$tmp/config")
  fi
  env "${env[@]}" "$dir/panel/Brevanta_Settings_Panel" &
  front=$!
  pids+=($front)
  for _ in $(seq 100); do
    [ -n "$(listeners "$port")" ] && break
    kill -0 "$front" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$(listeners "$port")" ]; then
    echo "demo.sh: the panel's VNC server did not start on port $port" >&2
    exit 1
  fi
  for address in $(listeners "$port"); do
    if ! is_loopback "$address"; then
      echo "demo.sh: the panel listens on port $port beyond this machine ($address); stopped it" >&2
      exit 1
    fi
  done
  if [ -n "$vnc_port" ]; then
    echo "demo.sh: the panel is on VNC at 127.0.0.1:$port (this machine only). From another computer:" >&2
    echo "demo.sh:   ssh -L $port:127.0.0.1:$port USER@$(hostname)   then a VNC viewer on localhost:$port" >&2
  fi
  if [ -n "$shots" ]; then
    local every=${KORVEL_DEMO_SHOT_SECONDS:-5}
    python3 "$root/scripts/panel-screenshots.py" --every "$every" "127.0.0.1:$port" "$shots" &
    pids+=($!)
    echo "demo.sh: pictures of the meter page go to $shots every $every s" >&2
  fi
}

front=""
if [ "$mode" = meters ]; then
  # korvelctl ends when the unit goes; the view waits for it and goes on.
  (
    shown=""
    while kill -0 "$host" 2>/dev/null; do
      if "$dir/tools/korvelctl" meters --watch 2>/dev/null; then :; fi
      if [ "$shown" != gone ]; then echo "-- no unit (unplugged); waiting for it --"; shown=gone; fi
      sleep 0.3
      if "$dir/tools/korvelctl" info >/dev/null 2>&1; then
        echo "-- unit present --"
        "$dir/tools/korvelctl" info 2>/dev/null || true
        shown=""
      fi
    done
  ) 2>/dev/null &
  front=$!
elif [ -n "$vnc_port$shots" ]; then
  start_vnc_panel
elif [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$dir/panel/Brevanta_Settings_Panel" &
  front=$!
else
  echo "demo.sh: no display, so the panel runs on a free virtual display (xvfb-run -a)" >&2
  xvfb-run -a -s "-screen 0 1280x800x24" "$dir/panel/Brevanta_Settings_Panel" &
  front=$!
fi
pids+=($front)

# Forward our commands to the host. `quit` ends everything; the end of our
# input only ends the forwarding (the demo may run without a terminal). The
# demo ends with the panel (or the meter view) or the host.
# `quit` is not passed on: it ends the demo, whose cleanup closes the panel
# before it stops the host.
(
  while IFS= read -r line; do
    if [ "$line" = quit ]; then
      : >"$tmp/quit"
      break
    fi
    printf '%s\n' "$line" >&5
  done
) <&4 &
pids+=($!)
while kill -0 "$front" 2>/dev/null && kill -0 "$host" 2>/dev/null && [ ! -e "$tmp/quit" ]; do
  sleep 0.2
done
