#!/usr/bin/env bash
# demo.sh --vnc PORT --screenshots DIR on a machine without a display: the
# panel's VNC server answers on 127.0.0.1:PORT with the RFB banner, nothing
# listens on that port beyond loopback (nor answers on this machine's other
# addresses), pictures of the meter page arrive in DIR and change as the
# meters move, --help documents both options, and `quit` ends everything.
#   demo_vnc_test.sh BUILD_DIR
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: demo_vnc_test.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
demo=""
cleanup() {
  if [ -n "$demo" ] && kill -0 "$demo" 2>/dev/null; then
    kill -TERM "$demo"
    wait "$demo" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  sed 's/^/  demo: /' "$work/demo.log" >&2 2>/dev/null
  exit 1
}
mkdir -p "$work/home" "$work/config" "$work/shots"
mkdir -m 0700 "$work/run"
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run KORVEL_DEMO_BUILD=$build
# A picture every second rather than every 5 s: three of them are awaited.
export KORVEL_DEMO_SHOT_SECONDS=1
unset DISPLAY WAYLAND_DISPLAY KORVEL_DEVHOST_SOCKET

help=$("$root/scripts/demo.sh" --help)
for option in "--vnc [PORT]" "--screenshots DIR" "127.0.0.1" "ssh -L"; do
  grep -qF -- "$option" <<<"$help" || fail "--help does not explain $option"
done

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkfifo "$work/in"
"$root/scripts/demo.sh" --vnc "$port" --screenshots "$work/shots" <"$work/in" >"$work/demo.log" 2>&1 &
demo=$!
exec 3>"$work/in"
for _ in $(seq 300); do
  grep -q "VNC at 127.0.0.1:$port" "$work/demo.log" && break
  kill -0 "$demo" 2>/dev/null || fail "the demo ended early"
  sleep 0.2
done
grep -q "VNC at 127.0.0.1:$port" "$work/demo.log" || fail "the demo did not say where VNC is"
grep -q "ssh -L $port:127.0.0.1:$port" "$work/demo.log" || fail "no SSH tunnel line"

python3 - "$port" <<'PY' || fail "the VNC port is not loopback-only"
import socket, sys
port = int(sys.argv[1])
with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
    banner = s.recv(12)
assert banner.startswith(b"RFB 003."), banner
# Every listener on the port, from the kernel's tables: loopback only.
loopback = {"0100007F", "00000000000000000000000001000000", "0000000000000000FFFF00000100007F"}
seen = []
for table in ("/proc/net/tcp", "/proc/net/tcp6"):
    for line in open(table).read().splitlines()[1:]:
        f = line.split()
        address, hexport = f[1].split(":")
        if f[3] == "0A" and int(hexport, 16) == port:
            seen.append(address)
assert seen and all(a in loopback for a in seen), seen
# And on this machine's other addresses (its interfaces' own, from the
# kernel's tables) nobody answers.
others = set()
lines = open("/proc/net/fib_trie").read().splitlines()
for before, line in zip(lines, lines[1:]):
    if "/32 host LOCAL" in line:
        address = before.split()[-1]
        if not address.startswith("127."):
            others.add((socket.AF_INET, address))
for line in open("/proc/net/if_inet6").read().splitlines():
    f = line.split()
    if f[5] != "lo" and not f[0].startswith("fe80"):
        others.add((socket.AF_INET6, ":".join(f[0][i:i + 4] for i in range(0, 32, 4))))
for family, address in others:
    s = socket.socket(family, socket.SOCK_STREAM)
    s.settimeout(2)
    try:
        s.connect((address, port))
        raise AssertionError("answers on %s" % address)
    except (ConnectionRefusedError, socket.timeout, OSError) as e:
        if isinstance(e, AssertionError):
            raise
    finally:
        s.close()
print("banner", banner.decode().strip(), "listeners", seen, "other addresses", sorted(a for _, a in others))
PY

for _ in $(seq 150); do
  [ "$(ls "$work/shots" | grep -c '^meters-.*\.png$')" -ge 3 ] && break
  sleep 0.2
done
grep -q "meter page shown" "$work/demo.log" || fail "the meter page was not opened"
python3 - "$work/shots" <<'PY' || fail "the pictures are not the panel's meter page"
import os, struct, sys, zlib
folder = sys.argv[1]
names = sorted(n for n in os.listdir(folder) if n.startswith("meters-") and n.endswith(".png"))
assert len(names) >= 3, names
pictures = []
for n in names[:3]:
    data = open(os.path.join(folder, n), "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", n
    width, height = struct.unpack(">II", data[16:24])
    assert (width, height) == (1120, 680), (n, width, height)
    pixels, at = b"", 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        if kind == b"IDAT":
            pixels += data[at + 8:at + 8 + length]
        at += 12 + length
    pictures.append(zlib.decompress(pixels))
# The meters move: the pictures are not all alike.
assert len(set(pictures)) > 1, "three identical pictures"
print("pictures", names[:3])
PY

echo quit >&3
for _ in $(seq 150); do kill -0 "$demo" 2>/dev/null || break; sleep 0.2; done
kill -0 "$demo" 2>/dev/null && fail "quit did not end the demo"
wait "$demo"
demo=""
timeout 2 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1"' _ "$port" 2>/dev/null &&
  fail "the panel still listens after quit"
[ -z "$(ls "$work/shots" | grep '\.part$')" ] || fail "a half-written picture was left"
echo "demo.sh --vnc --screenshots: passed"
