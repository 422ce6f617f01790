#!/usr/bin/env bash
# run-fuzzer.sh FUZZER CORPUS_DIR SECONDS
# Fuzzes for a bounded time, starting from the stored corpus (read only: new
# inputs go to a scratch folder so the checkout stays clean). A crash leaves its
# input in the build folder and fails the test.
set -eu
fuzzer=$1 corpus=$2 seconds=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts="$(dirname "$fuzzer")/fuzz-artifacts/$(basename "$fuzzer")/"
mkdir -p "$artifacts"
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$artifacts" -print_final_stats=1 "$scratch" "$corpus"
