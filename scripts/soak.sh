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
panel=$build/panel/Brevanta_Settings_Panel
for b in "$host_bin" "$ctl"; do
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

sleep 3  # the panel finds the unit
# Steps of input 1's meter: "ms dB" when the command is sent.
probe=(-6 -40)
probe_next=0
level_step() {
  echo "$(now_ms) ${probe[probe_next]}" >>"$tmp/log/steps"
  host_cmd "level 1 ${probe[probe_next]}"
  probe_next=$((1 - probe_next))
}
# Calibration: where the first bar stands at each level.
level_step; sleep 1.5; level_step; sleep 2.5
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
pids+=($!)
client_loop meters "$tmp/log/meters" "$end_ms" &
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
wait_clients_until=$(( $(now_ms) + 10000 ))
while [ "$(now_ms)" -lt "$wait_clients_until" ] && pgrep -f "$ctl" >/dev/null; do sleep 0.1; done

read -r host_rss1 host_thr1 host_fd1 <<<"$(proc_figures "$host")"
read -r panel_rss1 panel_thr1 panel_fd1 <<<"$(proc_figures "${panel_pid:-0}")"
crashes=0
kill -0 "$host" 2>/dev/null || crashes=$((crashes + 1))
if [ -n "$panel_pid" ]; then kill -0 "$panel_pid" 2>/dev/null || crashes=$((crashes + 1)); fi
grep -qiE "AddressSanitizer|ThreadSanitizer|runtime error|abort|terminate called" "$tmp/log/host.err" "$tmp/log/panel.out" 2>/dev/null && crashes=$((crashes + 1))

# A call counts against the unit only when the unit was present for all of
# it: no unplug, plug, model change, busy burst or stall began or ended while
# it ran, and it was present when it started.
analyse() {
  awk -v layout="Tarrow=97,Quenby=94,Pellin=62,Dorrit=62,Far Link=96" -v what="$2" '
    BEGIN { n = split(layout, kv, ","); for (i = 1; i <= n; i++) { split(kv[i], p, "="); size[p[1]] = p[2] } }
    FNR == NR { t[++s] = $1; st[s] = $2; next }
    {
      start = $1; end = $2; rc = $3; count = $NF; product = $4
      for (i = 5; i < NF; i++) product = product " " $i
      calls++
      clean = 1; at = "present"
      for (i = 1; i <= s; i++) { if (t[i] <= start) at = st[i]; if (t[i] > start - 5 && t[i] < end + 5) clean = 0 }
      if (at != "present") clean = 0
      if (rc == 0) {
        ok++
        if (!(product in size)) wrong++
        else if (what == "meters" && count != size[product]) wrong++
      } else if (clean) failed_present++
    }
    END { printf "%d %d %d %d\n", calls, ok, wrong + 0, failed_present + 0 }' "$state" "$1"
}
sort -n -o "$state" "$state"
read -r info_calls info_ok info_wrong info_failed <<<"$(analyse "$tmp/log/info" info)"
read -r met_calls met_ok met_wrong met_failed <<<"$(analyse "$tmp/log/meters" meters)"
stream_failures=$( [ -f "$tmp/log/stream_failures" ] && wc -l <"$tmp/log/stream_failures" || echo 0)

# --- meter timing ------------------------------------------------------------
# One time-ordered event list: unit state, plugs, level steps, panel trace.
events=$tmp/log/events
{
  cat "$state"
  [ -f "$tmp/log/plugs" ] && sed 's/$/ plug/' "$tmp/log/plugs"
  sed 's/^\([0-9]*\) /\1 step /' "$tmp/log/steps"
  sed -n 's/^korvel\.panel\.meters: \([0-9]*\) /\1 /p' "$tmp/log/panel.out"
} | sort -s -n -k1,1 >"$events"
fresh_ticks=$(grep -c ' fresh' "$events")
# Heights of the first bar at -6 and -40 dBFS: the last fresh tick before the
# second and third steps (the calibration).
read -r cal_hi cal_lo <<<"$(awk '
  $2 == "step" { steps++; if (steps == 2) hi = h; if (steps == 3) { lo = h; exit } }
  $2 == "fresh" { sub(/h0=/, "", $NF); h = $NF }
  END { print (hi == "" ? -1 : hi), (lo == "" ? -1 : lo) }' "$events")"
awk -v hi="$cal_hi" -v lo="$cal_lo" -v dir="$tmp/log" '
  function abs(x) { return x < 0 ? -x : x }
  $2 == "absent" { if (plug_wait >= 0 && lost) not_shown++; plug_wait = -1; lost = 0; plug_faulted = 0; step_t = -1; h = "" }
  $2 == "lost" { lost = 1; step_t = -1; h = "" }
  $2 == "fault" { plug_faulted = 1; step_faulted = 1 }
  $2 == "plug" { plug_wait = $1; plug_faulted = 0 }
  $2 != "step" && $2 != "fresh" && $2 != "lost" { disturbed_at = $1 }
  # Measured only when the bar stood at the other level when the step came.
  $2 == "step" {
    steps++; rising = ($3 == -6); target = rising ? hi : lo
    step_faulted = ($1 - disturbed_at < 1000)
    step_t = (h != "" && abs(h - (rising ? lo : hi)) <= 2) ? $1 : -1
  }
  $2 == "fresh" {
    if ($3 == "first" && plug_wait >= 0) {
      if (lost && !plug_faulted) print $1 - plug_wait > (dir "/plug_ms")
      plug_wait = -1
    }
    h = $NF; sub(/h0=/, "", h)
    if (step_t >= 0 && steps > 2 && target >= 0 && abs(h - target) <= 2) {
      print $1 - step_t > (dir "/" (rising ? "rise" : "fall") (step_faulted ? "_disturbed" : "") "_ms")
      step_t = -1
    }
  }
  END { print not_shown + 0 > (dir "/plug_not_shown") }' "$events"
# "name": {"n": N, "median": ms, "p95": ms} over the samples in a file.
figures() {
  local f=$tmp/log/$2 n
  n=$( [ -f "$f" ] && grep -c . "$f" || echo 0)
  if [ "$n" -eq 0 ]; then
    printf '"%s": {"n": 0}' "$1"
  else
    sort -n -o "$f" "$f"
    printf '"%s": {"n": %d, "median": %d, "p95": %d}' "$1" "$n" "$(sed -n "$(((n + 1) / 2))p" "$f")" \
      "$(sed -n "$(((n * 95 + 99) / 100))p" "$f")"
  fi
}

host_cmd quit
wait "$host"
host_rc=$?
[ "$host_rc" -eq 0 ] || crashes=$((crashes + 1))

cat <<EOF
{"seconds": $seconds, "faults": $faults, "crashes": $crashes,
 "korvelctl": {"info": {"calls": $info_calls, "ok": $info_ok, "wrong": $info_wrong, "failed_while_present": $info_failed},
               "meters": {"calls": $met_calls, "ok": $met_ok, "wrong": $met_wrong, "failed_while_present": $met_failed}},
 "streams": $(cat "$tmp/log/streams" 2>/dev/null | wc -l), "stream_failures": $stream_failures,
 "panel_meters": {"fresh_ticks": $fresh_ticks, "bar_heights": {"-6": $cal_hi, "-40": $cal_lo},
   $(figures plug_to_first_meters_ms plug_ms), "plugs_not_shown_before_next_unplug": $(cat "$tmp/log/plug_not_shown"),
   "latency_ms": {$(figures rise rise_ms), $(figures fall fall_ms),
                  $(figures rise_disturbed rise_disturbed_ms), $(figures fall_disturbed fall_disturbed_ms)}},
 "rss_kb_by_minute": {"host": [$(awk '{print $1}' "$tmp/log/rss_by_minute" 2>/dev/null | paste -sd,)],
                      "panel": [$(awk '{print $2}' "$tmp/log/rss_by_minute" 2>/dev/null | paste -sd,)]},
 "host": {"rss_kb": [$host_rss0, $host_rss1], "threads": [$host_thr0, $host_thr1], "fds": [$host_fd0, $host_fd1]},
 "panel": {"rss_kb": [${panel_rss0:-0}, ${panel_rss1:-0}], "threads": [${panel_thr0:-0}, ${panel_thr1:-0}], "fds": [${panel_fd0:-0}, ${panel_fd1:-0}]}}
EOF
# Calls that failed while the unit was there are reported; they fail the run
# only with KORVEL_SOAK_STRICT=1.
strict_failed=0
[ -n "${KORVEL_SOAK_STRICT:-}" ] && strict_failed=$((info_failed + met_failed))
panel_silent=0
[ -n "$panel_pid" ] && [ "$fresh_ticks" -eq 0 ] && panel_silent=1
if [ "$crashes" -ne 0 ] || [ "$info_wrong" -ne 0 ] || [ "$met_wrong" -ne 0 ] ||
  [ "$strict_failed" -ne 0 ] || [ "$stream_failures" -ne 0 ] || [ "$panel_silent" -ne 0 ]; then
  echo "soak.sh: FAILED (KORVEL_SOAK_KEEP=1 keeps the logs)" >&2
  exit 1
fi
