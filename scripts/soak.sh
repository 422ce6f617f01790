#!/usr/bin/env bash
# soak.sh SECONDS [BUILD_DIR]
# Runs the whole system under faults for SECONDS: korvel-devhost serving a
# unit, the settings panel (offscreen), two korvelctl loops beside it and
# streams through quenby, while the unit is unplugged and plugged at random
# intervals from 10 ms to 3 s, changes model, turns busy and stalls transfers.
# Prints one JSON summary on standard output; exit status 1 when anything
# crashed, answered wrongly, a stream failed or the panel never showed a
# meter (and, with KORVEL_SOAK_STRICT=1, when a call failed while the unit
# was there).
#
# Meter timing, from the panel's trace (korvel.panel.meters: wall-clock ms of
# each tick that puts a fresh meter answer on the bars, with the first bar's
# height) and the times this script sends its host commands:
# - plug to first meters: from sending "plug" (or "model NAME") to the first
#   fresh answer on the bars after the panel had lost the unit; plugs whose
#   loss the panel never noticed, or with a busy or stall fault before the
#   meters came back, are left out; a plug unplugged again before meters
#   came back counts as "not_shown".
# - meter latency: after every fault, and twice in a quiet 5 s window every
#   25 faults, the script steps analog input 1's meter between -6 and
#   -40 dBFS ("level 1 DB"); the latency is the time from
#   sending that command to the first tick whose first bar stands at the new
#   height (within 2 px; heights taken from a calibration at the start),
#   counted only when the bar stood at the other level when the step came.
#   Rising and falling steps are reported apart (a bar falls at most 21 px a
#   tick), and "disturbed" steps (a plug, model change, busy burst or stall
#   less than a second before the step or before the bar arrived) apart
#   from quiet ones; a step cut short by an unplug, a loss of the unit or the
#   next step is not measured. Sending is before the unit changes, so both figures are
#   upper bounds by the command's handling (well under a millisecond). KORVEL_SOAK_KEEP=1 keeps the
# logs; KORVEL_SOAK_SEED chooses the fault sequence.
set -u
seconds=${1:?usage: soak.sh SECONDS [BUILD_DIR]}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build/normal}
host_bin=$build/sim/devhost/korvel-devhost
ctl=$build/tools/korvelctl
analyse=$build/tools/korvel-soak-analysis
panel=$build/panel/Brevanta_Settings_Panel
for b in "$host_bin" "$ctl" "$analyse"; do
  [ -x "$b" ] || { echo "soak.sh: $b is missing; build first (scripts/build.sh normal)" >&2; exit 2; }
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/korvel-soak.XXXXXX")
mkdir -p "$tmp/home" "$tmp/config" "$tmp/log"
mkdir -m 0700 "$tmp/run"
mkdir -p "$tmp/config/KORVEL"
# No first-start reminder box waiting for a click on the offscreen panel.
# and no update check that looks up the maker's site.
# The meters show the analog inputs, so the first bar is input 1.
printf '[PopupMessage]\nWakeUp=false\n\n[Update]\nJsonUrl=https://127.0.0.1:9/none.json\n\n[Meter]\nSource=1\n' \
  >"$tmp/config/KORVEL/Brevanta.ini"
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/config XDG_RUNTIME_DIR=$tmp/run
export KORVEL_DEVHOST_SOCKET=$tmp/run/devhost.sock QT_QPA_PLATFORM=offscreen
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  if [ -n "${KORVEL_SOAK_KEEP:-}" ]; then echo "soak.sh: logs in $tmp" >&2; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now_ms() { date +%s%3N; }
# rss_kb threads fds of a process
proc_figures() {
  local pid=$1
  if [ -d "/proc/$pid" ]; then
    echo "$(awk '/^VmRSS/{print $2}' "/proc/$pid/status") $(awk '/^Threads/{print $2}' "/proc/$pid/status") $(ls "/proc/$pid/fd" | wc -l)"
  else
    echo "0 0 0"
  fi
}

mkfifo "$tmp/host-in"
"$host_bin" --model Tarrow <"$tmp/host-in" >"$tmp/log/host.out" 2>"$tmp/log/host.err" &
host=$!
pids+=("$host")
exec 5>"$tmp/host-in"
for _ in $(seq 100); do grep -q '^ready' "$tmp/log/host.out" 2>/dev/null && break; sleep 0.1; done
grep -q '^ready' "$tmp/log/host.out" || { echo "soak.sh: the host did not start" >&2; cat "$tmp/log/host.err" >&2; exit 1; }

panel_pid=""
if [ -x "$panel" ]; then
  QT_LOGGING_RULES="korvel.panel.meters.debug=true" "$panel" >"$tmp/log/panel.out" 2>&1 &
  panel_pid=$!
  pids+=("$panel_pid")
fi

# Unit state log: "ms present|absent|fault" lines written before and after
# each command takes effect.
state=$tmp/log/state
echo "$(now_ms) present" >"$state"
host_cmd() {
  # The host answers every command once it has taken effect.
  local n
  n=$(grep -c . "$tmp/log/host.out")
  printf '%s\n' "$1" >&5
  for _ in $(seq 400); do
    [ "$(grep -c . "$tmp/log/host.out")" -gt "$n" ] && return 0
    sleep 0.01
  done
}

# Client loops: every call logged as "start end rc product count".
client_loop() {
  local what=$1 out=$2 until=$3
  while [ "$(now_ms)" -lt "$until" ]; do
    local t0 rc json product count
    t0=$(now_ms)
    json=$("$ctl" "$what" --json 2>"$out.err")
    rc=$?
    [ $rc -eq 0 ] || echo "$t0 $(head -c 200 "$out.err" | tr '\n' ' ')" >>"$out.errors"
    product=$(printf '%s' "$json" | sed -n 's/.*"product": *"\([^"]*\)".*/\1/p')
    count=$(printf '%s' "$json" | grep -o '"type"' | wc -l)
    echo "$t0 $(now_ms) $rc ${product:-none} $count" >>"$out"
  done
}

# The first bar's heights (h0) on the panel's fresh meter ticks, from its
# trace: "korvel.panel.meters: MS fresh[ first] h0=H".
fresh_heights() {
  sed -n 's/.* fresh\( first\)\{0,1\} h0=\([0-9]*\).*/\2/p' "$tmp/log/panel.out" 2>/dev/null
}
# Waits (at most MAX_MS) until the panel shows fresh meters.
await_meters() {
  local until=$(( $(now_ms) + $1 ))
  while [ "$(now_ms)" -lt "$until" ] && [ -z "$(fresh_heights | head -n 1)" ]; do sleep 0.05; done
}
# Waits until the first bar has settled after the step just sent: at least
# 500 ms after it (the answers under way when it came are shown by then) the
# last four fresh ticks show one height, another than the bar's when the
# step came; at most MAX_MS.
await_settled() {
  local from=$(( $(now_ms) + 500 )) until=$(( $(now_ms) + $1 )) before last
  before=$(fresh_heights | tail -n 1)
  while [ "$(now_ms)" -lt "$until" ]; do
    if [ "$(now_ms)" -ge "$from" ]; then
      last=$(fresh_heights | tail -n 4)
      [ "$(wc -l <<<"$last")" -eq 4 ] && [ "$(sort -u <<<"$last" | wc -l)" -eq 1 ] &&
        [ "$(tail -n 1 <<<"$last")" != "$before" ] && return 0
    fi
    sleep 0.05
  done
}

if [ -n "$panel_pid" ]; then
  await_meters 30000  # the panel finds the unit
else
  sleep 3
fi
# Steps of input 1's meter: "ms dB" when the command is sent.
probe=(-6 -40)
probe_next=0
level_step() {
  echo "$(now_ms) ${probe[probe_next]}" >>"$tmp/log/steps"
  host_cmd "level 1 ${probe[probe_next]}"
  probe_next=$((1 - probe_next))
}
# Calibration: where the first bar stands at each level (rising, the bar
# jumps; falling, it takes about a second).
level_step; await_settled 1500; level_step; await_settled 2500
start_ms=$(now_ms)
end_ms=$((start_ms + seconds * 1000))
read -r host_rss0 host_thr0 host_fd0 <<<"$(proc_figures "$host")"
read -r panel_rss0 panel_thr0 panel_fd0 <<<"$(proc_figures "${panel_pid:-0}")"

# Resident memory of the host and the panel once a minute (kB), to tell
# warming up from growth.
(
  next=$((start_ms + 60000))
  while [ "$(now_ms)" -lt "$end_ms" ]; do
    sleep 1
    [ "$(now_ms)" -lt "$next" ] && continue
    read -r h _ <<<"$(proc_figures "$host")"
    read -r p _ <<<"$(proc_figures "${panel_pid:-0}")"
    echo "$h $p" >>"$tmp/log/rss_by_minute"
    next=$((next + 60000))
  done
) </dev/null >/dev/null 2>&1 &
pids+=($!)
client_loop info "$tmp/log/info" "$end_ms" &
info_loop=$!
pids+=($!)
client_loop meters "$tmp/log/meters" "$end_ms" &
meters_loop=$!
pids+=($!)
# Streams through quenby (the KS client and the direct-mode client) on their
# own simulated units, one every few seconds.
(
  while [ "$(now_ms)" -lt "$end_ms" ]; do
    "$host_bin" --stream 2 --loopback --report "$tmp/log/ks.json" >/dev/null 2>&1 || echo "ks $(now_ms)" >>"$tmp/log/stream_failures"
    "$host_bin" --direct-client 2 --loopback --report "$tmp/log/direct.json" >/dev/null 2>&1 || echo "direct $(now_ms)" >>"$tmp/log/stream_failures"
    echo "$(now_ms)" >>"$tmp/log/streams"
    sleep 3
  done
) &
pids+=($!)

models=(Tarrow Quenby Pellin Dorrit "Far Link")
faults=0
RANDOM=${KORVEL_SOAK_SEED:-7}
while [ "$(now_ms)" -lt "$end_ms" ]; do
  # 10 ms to 3 s between faults, most of them short.
  gap=$(( (RANDOM % 4 == 0) ? 10 + RANDOM % 2990 : 10 + RANDOM % 300 ))
  sleep "$(printf '0.%03d' $((gap % 1000)))"
  [ "$gap" -ge 1000 ] && sleep $((gap / 1000))
  case $((RANDOM % 10)) in
    0 | 1 | 2 | 3 | 4)
      echo "$(now_ms) absent" >>"$state"; host_cmd unplug
      sleep "$(printf '0.%03d' $((10 + RANDOM % 500)))"
      echo "$(now_ms)" >>"$tmp/log/plugs"; host_cmd plug; echo "$(now_ms) present" >>"$state" ;;
    5)
      echo "$(now_ms) absent" >>"$state"; echo "$(now_ms)" >>"$tmp/log/plugs"
      host_cmd "model ${models[RANDOM % 5]}"
      echo "$(now_ms) present" >>"$state" ;;
    # A unit that turns busy in the middle of an exchange may leave a call
    # without its answer: the burst counts as a fault.
    6 | 7)
      ms=$((50 + RANDOM % 400))
      echo "$(now_ms) fault" >>"$state"; host_cmd "busy $ms"
      sleep "$(printf '0.%03d' "$ms")"; echo "$(now_ms) present" >>"$state" ;;
    # A stalled transfer fails its call (Windows error 31): the next calls of
    # the three clients use up the stalls within a few hundred milliseconds.
    *)
      echo "$(now_ms) fault" >>"$state"; host_cmd "stall $((1 + RANDOM % 3))"
      sleep 0.5; echo "$(now_ms) present" >>"$state" ;;
  esac
  faults=$((faults + 1))
  level_step
  # Every 25 faults a quiet window of 5 s with two more steps.
  if [ $((faults % 25)) -eq 0 ]; then
    sleep 1; level_step; sleep 2; level_step; sleep 2
  fi
done
# The client loops end after their current call (not a korvelctl found by
# name: that could be another run's).
wait_clients_until=$(( $(now_ms) + 10000 ))
while [ "$(now_ms)" -lt "$wait_clients_until" ] &&
  { kill -0 "$info_loop" 2>/dev/null || kill -0 "$meters_loop" 2>/dev/null; }; do
  sleep 0.05
done

read -r host_rss1 host_thr1 host_fd1 <<<"$(proc_figures "$host")"
read -r panel_rss1 panel_thr1 panel_fd1 <<<"$(proc_figures "${panel_pid:-0}")"
crashes=0
kill -0 "$host" 2>/dev/null || crashes=$((crashes + 1))
if [ -n "$panel_pid" ]; then kill -0 "$panel_pid" 2>/dev/null || crashes=$((crashes + 1)); fi
grep -qiE "AddressSanitizer|ThreadSanitizer|runtime error|abort|terminate called" "$tmp/log/host.err" "$tmp/log/panel.out" 2>/dev/null && crashes=$((crashes + 1))

# The analysis (calls that failed while the unit was there, wrong answers,
# the panel's meter timing with medians and percentiles) is a program of its
# own with tests: korvel-soak-analysis. It exits 1 when answers were wrong,
# the panel never showed a meter or (strict) a call failed while the unit
# was there.
sort -n -o "$state" "$state"
analysis=$("$analyse" ${KORVEL_SOAK_STRICT:+--strict} ${panel_pid:+--panel} "$tmp/log")
analysis_rc=$?
stream_failures=$( [ -f "$tmp/log/stream_failures" ] && wc -l <"$tmp/log/stream_failures" || echo 0)

host_cmd quit
wait "$host"
host_rc=$?
[ "$host_rc" -eq 0 ] || crashes=$((crashes + 1))

# The analysis's members inside the run's own summary.
analysis=${analysis#\{}
analysis=${analysis%\}}
cat <<EOF
{"seconds": $seconds, "faults": $faults, "crashes": $crashes,
 $analysis,
 "streams": $(cat "$tmp/log/streams" 2>/dev/null | wc -l), "stream_failures": $stream_failures,
 "rss_kb_by_minute": {"host": [$(awk '{print $1}' "$tmp/log/rss_by_minute" 2>/dev/null | paste -sd,)],
                      "panel": [$(awk '{print $2}' "$tmp/log/rss_by_minute" 2>/dev/null | paste -sd,)]},
 "host": {"rss_kb": [$host_rss0, $host_rss1], "threads": [$host_thr0, $host_thr1], "fds": [$host_fd0, $host_fd1]},
 "panel": {"rss_kb": [${panel_rss0:-0}, ${panel_rss1:-0}], "threads": [${panel_thr0:-0}, ${panel_thr1:-0}], "fds": [${panel_fd0:-0}, ${panel_fd1:-0}]}}
EOF
if [ "$crashes" -ne 0 ] || [ "$analysis_rc" -ne 0 ] || [ "$stream_failures" -ne 0 ]; then
  echo "soak.sh: FAILED (KORVEL_SOAK_KEEP=1 keeps the logs)" >&2
  exit 1
fi
