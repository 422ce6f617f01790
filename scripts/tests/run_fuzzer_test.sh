#!/usr/bin/env bash
# run-fuzzer.sh leaves nothing in the temporary folder: not after the fuzzer
# ends (its exit status passed on), not when the script itself is stopped
# (the fuzzer stopped with it). A stand-in fuzzer writes into the scratch
# folder it is given and records its pid.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp" "$work/corpus" "$work/bin"
fail() { echo "FAIL: $*" >&2; exit 1; }

cat >"$work/bin/fuzzer" <<'FUZZ'
#!/usr/bin/env bash
# Arguments: libFuzzer flags, then the scratch folder and the corpus.
for a; do case "$a" in -*) ;; *) scratch=${scratch:-$a} ;; esac; done
echo found >"$scratch/new-input"
echo $$ >"$PID_FILE"
[ "${FUZZ_SLEEP:-0}" = 0 ] || exec sleep "$FUZZ_SLEEP"
exit "${FUZZ_STATUS:-0}"
FUZZ
chmod +x "$work/bin/fuzzer"

# Ends by itself with a crash found (status 77): the status is passed on.
TMPDIR=$work/tmp PID_FILE=$work/pid FUZZ_STATUS=77 "$root/scripts/run-fuzzer.sh" "$work/bin/fuzzer" "$work/corpus" 5
status=$?
[ "$status" = 77 ] || fail "exit status $status, expected the fuzzer's 77"
[ -z "$(ls -A "$work/tmp")" ] || fail "left behind: $(ls -A "$work/tmp")"
[ -z "$(ls -A "$work/corpus")" ] || fail "wrote into the stored corpus"

# Stopped while fuzzing: the fuzzer stops too and the folder still goes.
rm -f "$work/pid"
TMPDIR=$work/tmp PID_FILE=$work/pid FUZZ_SLEEP=30 "$root/scripts/run-fuzzer.sh" "$work/bin/fuzzer" "$work/corpus" 5 &
script=$!
for _ in $(seq 100); do [ -s "$work/pid" ] && break; sleep 0.05; done
[ -s "$work/pid" ] || fail "the stand-in fuzzer did not start"
kill -TERM "$script"
wait "$script"
for _ in $(seq 40); do kill -0 "$(cat "$work/pid")" 2>/dev/null || break; sleep 0.05; done
kill -0 "$(cat "$work/pid")" 2>/dev/null && fail "the fuzzer outlived the script"
[ -z "$(ls -A "$work/tmp")" ] || fail "left behind after a stop: $(ls -A "$work/tmp")"
echo "run-fuzzer.sh: passed"
