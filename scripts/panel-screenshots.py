#!/usr/bin/env python3
"""panel-screenshots.py [--every SECONDS] [--banner] HOST:PORT DIR

Saves pictures of the settings panel's meter page from the VNC server the
panel runs on (Qt's VNC platform, as scripts/demo.sh starts it): waits until
the panel shows a unit, clicks its METERS button, then saves the screen into
DIR every SECONDS (meters-0001.png, meters-0002.png, ...) until it is stopped
or the panel goes. --banner prints the server's protocol banner and exits.
Talks RFB itself (no password, raw pixels), so it needs nothing but Python."""
import argparse
import os
import signal
import socket
import struct
import sys
import time
import zlib


class RfbError(Exception):
    pass


def recv_exact(sock, n):
    data = bytearray()
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise RfbError("the server closed the connection")
        data += chunk
    return bytes(data)


def png(width, height, rgb_rows):
    """PNG bytes of an 8-bit RGB image given as rows of width*3 bytes."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    raw = b"".join(b"\0" + row for row in rgb_rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


class Client:
    RAW, CURSOR, DESKTOP_SIZE = 0, -239, -223

    def __init__(self, host, port, timeout=10):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.banner = recv_exact(self.sock, 12)
        if not self.banner.startswith(b"RFB "):
            raise RfbError("not a VNC server: %r" % self.banner)

    def start(self):
        major, minor = int(self.banner[4:7]), int(self.banner[8:11])
        minor = 8 if (major, minor) >= (3, 8) else 7 if (major, minor) >= (3, 7) else 3
        self.sock.sendall(b"RFB 003.%03d\n" % minor)
        if minor == 3:
            (kind,) = struct.unpack(">I", recv_exact(self.sock, 4))
            kinds = [kind]
        else:
            (n,) = struct.unpack("B", recv_exact(self.sock, 1))
            kinds = list(recv_exact(self.sock, n)) if n else [0]
        if 1 not in kinds:
            raise RfbError("the server wants a password or refused us (security types %s)" % kinds)
        if minor != 3:
            self.sock.sendall(b"\1")
        if minor == 8:
            (result,) = struct.unpack(">I", recv_exact(self.sock, 4))
            if result:
                raise RfbError("the server refused the connection")
        self.sock.sendall(b"\1")  # shared: other viewers stay connected
        self.width, self.height = struct.unpack(">HH", recv_exact(self.sock, 4))
        recv_exact(self.sock, 16)
        (name_len,) = struct.unpack(">I", recv_exact(self.sock, 4))
        self.name = recv_exact(self.sock, name_len).decode("latin-1")
        # 32 bits a pixel, little-endian, red in bits 16-23: easy to unpack.
        self.sock.sendall(struct.pack(">B3xBBBBHHHBBB3x", 0, 32, 24, 0, 1, 255, 255, 255, 16, 8, 0))
        self.sock.sendall(struct.pack(">BxHi", 2, 1, self.RAW))
        self.frame = bytearray(self.width * self.height * 4)

    def click(self, x, y):
        for mask in (1, 0):
            self.sock.sendall(struct.pack(">BBHH", 5, mask, x, y))

    def update(self):
        """Asks for the whole screen and reads until it has arrived."""
        self.sock.sendall(struct.pack(">BBHHHH", 3, 0, 0, 0, self.width, self.height))
        while True:
            (kind,) = struct.unpack("B", recv_exact(self.sock, 1))
            if kind == 0:
                (_, rects) = struct.unpack(">BH", recv_exact(self.sock, 3))
                for _ in range(rects):
                    x, y, w, h, enc = struct.unpack(">HHHHi", recv_exact(self.sock, 12))
                    if enc == self.RAW:
                        data = recv_exact(self.sock, w * h * 4)
                        for row in range(h):
                            if y + row >= self.height or x + w > self.width:
                                continue
                            at = ((y + row) * self.width + x) * 4
                            self.frame[at:at + w * 4] = data[row * w * 4:(row + 1) * w * 4]
                    elif enc == self.CURSOR:
                        recv_exact(self.sock, w * h * 4 + (w + 7) // 8 * h)
                    elif enc == self.DESKTOP_SIZE:
                        self.width, self.height = w, h
                        self.frame = bytearray(w * h * 4)
                    else:
                        raise RfbError("unexpected encoding %d" % enc)
                return
            if kind == 1:  # colour map entries
                (_, _, n) = struct.unpack(">BHH", recv_exact(self.sock, 5))
                recv_exact(self.sock, n * 6)
            elif kind == 2:  # bell
                pass
            elif kind == 3:  # cut text
                (n,) = struct.unpack(">3xI", recv_exact(self.sock, 7))
                recv_exact(self.sock, n)
            else:
                raise RfbError("unexpected message %d" % kind)

    def save(self, path):
        rows = []
        for row in range(self.height):
            line = self.frame[row * self.width * 4:(row + 1) * self.width * 4]
            rgb = bytearray(self.width * 3)
            rgb[0::3] = line[2::4]
            rgb[1::3] = line[1::4]
            rgb[2::3] = line[0::4]
            rows.append(bytes(rgb))
        tmp = path + ".part"
        try:
            with open(tmp, "wb") as f:
                f.write(png(self.width, self.height, rows))
            os.replace(tmp, path)  # a reader never sees half a file
        finally:
            if os.path.exists(tmp):
                os.remove(tmp)


# The panel's page buttons sit side by side in its top bar, 138 units wide
# and 9 apart, and the one of the page shown is blue: INFORMATION, then
# METERS.
BUTTON, GAP = 138, 9


def blue_button(c):
    """(left, right, top, bottom) of the blue page button, or None."""
    def px(x, y):
        i = (y * c.width + x) * 4
        return c.frame[i + 2], c.frame[i + 1], c.frame[i]
    for y in range(min(c.height, 160)):
        run = [x for x in range(c.width) if (lambda r, g, b: r < 60 and 120 <= g <= 200 and b > 220)(*px(x, y))]
        if len(run) < 40:
            continue
        left, right = run[0], run[-1]
        mid = (left + right) // 2
        top, bottom = y, y
        while bottom + 1 < c.height and px(mid, bottom + 1)[2] > 220:
            bottom += 1
        return left, right, top, bottom
    return None


def open_meter_page(c, wait_s):
    """Clicks METERS once the panel shows a unit; True when the page opened."""
    deadline = time.time() + wait_s
    while time.time() < deadline:
        c.update()
        box = blue_button(c)
        if box:
            left, right, top, bottom = box
            scale = (right - left + 1) / BUTTON
            x, y = int(right + (GAP + BUTTON / 2) * scale), (top + bottom) // 2
            c.click(x, y)
            time.sleep(0.5)
            c.update()
            box = blue_button(c)
            return bool(box) and box[0] <= x <= box[1]
        time.sleep(0.5)
    return False


def main():
    # Stopped (as the demo stops it): the picture being written is dropped.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[1])
    ap.add_argument("server", help="HOST:PORT")
    ap.add_argument("out", nargs="?", help="folder for the pictures")
    ap.add_argument("--every", type=float, default=5.0, help="seconds between pictures (default 5)")
    ap.add_argument("--banner", action="store_true", help="print the server's banner and exit")
    a = ap.parse_args()
    host, _, port = a.server.rpartition(":")
    try:
        c = Client(host or "127.0.0.1", int(port))
        if a.banner:
            print(c.banner.decode("latin-1").strip())
            return 0
        if not a.out:
            ap.error("DIR is needed")
        os.makedirs(a.out, exist_ok=True)
        c.start()
        if open_meter_page(c, 60):
            print("panel-screenshots: meter page shown; a picture every %g s in %s" % (a.every, a.out),
                  file=sys.stderr, flush=True)
        else:
            print("panel-screenshots: the meter page did not open; saving what the panel shows",
                  file=sys.stderr, flush=True)
        n = 0
        while True:
            c.update()
            n += 1
            c.save(os.path.join(a.out, "meters-%04d.png" % n))
            time.sleep(a.every)
    except (OSError, RfbError) as e:
        print("panel-screenshots: %s" % e, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
