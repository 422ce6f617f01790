#!/bin/sh
# isolated.sh PROGRAM [ARGS...]
# Runs a panel test in a fresh home, configuration and runtime folder with its
# own device-host socket, offscreen, and removes them afterwards. Tests run in
# parallel therefore never share settings, instance locks or hosts.
set -eu
root=$(mktemp -d "${TMPDIR:-/tmp}/korvel-panel.XXXXXX")
trap 'rm -rf "$root"' EXIT INT TERM
mkdir -p "$root/home" "$root/config"
mkdir -m 0700 "$root/run"
export HOME="$root/home"
export XDG_CONFIG_HOME="$root/config"
export XDG_RUNTIME_DIR="$root/run"
export KORVEL_DEVHOST_SOCKET="$root/run/devhost.sock"
export QT_QPA_PLATFORM=offscreen
# In the sanitizer builds: Qt's own leaks and Qt's own thread hand-overs are
# not the panel's. The leaks are recognised by the plugin that allocates
# them, the first frame above the allocator (what they hold goes with them),
# so the fast unwinder serves
# (the slow one made every allocation under AddressSanitizer cost as much as
# a backtrace: 48 s instead of 8 s for the update tests).
here=$(cd "$(dirname "$0")" && pwd)
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/lsan.supp:print_suppressions=0"
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$here/tsan.supp"
"$@"
