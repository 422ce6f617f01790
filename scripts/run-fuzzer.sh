#!/usr/bin/env bash
# run-fuzzer.sh FUZZER CORPUS_DIR SECONDS [INPUT_SECONDS]
# Fuzzes for a bounded time, starting from the stored corpus (read only: new
# inputs go to a scratch folder so the checkout stays clean). A crash leaves its
# input in the build folder and fails the test. The scratch folder goes when
# the script ends, also when it is stopped (the fuzzer is stopped with it).
# An input that runs longer than INPUT_SECONDS (default 10) is a failure too,
# with its input kept as a crash's is.
set -u
fuzzer=$1 corpus=$2 seconds=$3 input_seconds=${4:-10}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/korvel-fuzz.XXXXXX")
pid=""
cleanup() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
artifacts="$(dirname "$fuzzer")/fuzz-artifacts/$(basename "$fuzzer")/"
mkdir -p "$artifacts"
# In the background and waited for, so that a signal to this script is
# handled at once rather than after the fuzzer's time is up.
"$fuzzer" -max_total_time="$seconds" -timeout="$input_seconds" -rss_limit_mb=2048 \
  -artifact_prefix="$artifacts" -print_final_stats=1 "$scratch" "$corpus" &
pid=$!
wait "$pid"
status=$?
pid=""
exit "$status"
