#!/usr/bin/env python3
"""Writes the panel's vector artwork (meter page backgrounds, bar images,
logos, information page and slider backdrops) into this folder.

The meter geometry below is the level meter's: bars stand on y = 546 of the
1110 x 650 page and are 340 high; the dB marks sit at the heights the meter
gives those levels, so the scale and the bars agree at every size.

    python3 make_artwork.py
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

BASELINE = 546
FULL = 340
BAR_W = 18
# dB mark -> bar height (the level meter's height table).
MARKS = [(0, 340), (-3, 310), (-6, 279), (-12, 214), (-18, 182), (-30, 124), (-50, 18)]
MARKS_20 = [(0, 340), (-3, 310), (-6, 279), (-12, 214), (-20, 172), (-30, 124), (-50, 18)]

COLS_TARROW = [50, 84, 118, 152, 186, 220, 254, 288, 391, 425, 459, 493, 527, 561, 595, 629,
               732, 766, 800, 834, 868, 902, 1006, 1039]
COLS_FARLINK = [63, 97, 132, 165, 199, 234, 268, 302, 427, 461, 496, 529, 563, 597, 631, 665,
                791, 825, 859, 893, 927, 961, 995, 1029]
COLS_DORRIT = [50, 84, 118, 152, 186, 220, 324, 358, 391, 425, 459, 493, 527, 561, 595, 629,
               732, 766, 800, 834, 868, 902, 1006, 1039]

PAGE = '#1E1E1E'     # page colour; the section headings paint with it
DECK = '#161616'     # meter deck
WELL = '#101010'     # behind each bar; the pair masks use it too
TICK = '#343434'
SCALE_TEXT = '#B4B4B4'
FONT = "font-family='Arial' font-weight='bold'"


def write(name, text):
    with open(os.path.join(HERE, name), 'w', encoding='utf-8') as f:
        f.write(text)


def header(w=1110, h=650):
    return (f"<svg xmlns='http://www.w3.org/2000/svg' width='{w}' height='{h}' "
            f"viewBox='0 0 {w} {h}'>\n")


def page_frame():
    s = "<defs><linearGradient id='band' x1='0' y1='0' x2='0' y2='1'>" \
        "<stop offset='0' stop-color='#2B2B2B'/><stop offset='1' stop-color='#202020'/></linearGradient>" \
        "<linearGradient id='deck' x1='0' y1='0' x2='0' y2='1'>" \
        f"<stop offset='0' stop-color='#1A1A1A'/><stop offset='1' stop-color='{DECK}'/></linearGradient></defs>\n"
    s += f"<rect width='1110' height='650' fill='{PAGE}'/>\n"
    s += "<rect width='1110' height='44' fill='url(#band)'/>\n"
    s += "<rect y='43' width='1110' height='1' fill='#3C3C3C'/>\n"
    return s


def deck(x0=14, x1=1096):
    return (f"<rect x='{x0}' y='150' width='{x1 - x0}' height='452' rx='6' fill='url(#deck)' "
            f"stroke='#2E2E2E' stroke-width='1'/>\n")


def well(x0, x1, marks):
    """A dark well from x0 to x1 (both bar edges), with the dB ticks and an
    unlit clip-lamp slot above it."""
    s = f"<rect x='{x0 - 2}' y='{BASELINE - FULL - 2}' width='{x1 - x0 + 4}' height='{FULL + 5}' rx='1.5' " \
        f"fill='{WELL}' stroke='#2A2A2A' stroke-width='1'/>\n"
    for _, h in marks:
        y = BASELINE - h
        s += f"<rect x='{x0}' y='{y}' width='{x1 - x0}' height='1' fill='{TICK}'/>\n"
    return s


def lamp(x):
    return f"<rect x='{x}' y='195' width='{BAR_W}' height='4' fill='#3A1008'/>\n"


def scale(cx, marks, anchor='middle'):
    s = ''
    for db, h in marks:
        y = BASELINE - h
        text = '0' if db == 0 else f'{db}'
        s += (f"<text x='{cx}' y='{y + 4}' {FONT} font-size='11' fill='{SCALE_TEXT}' "
              f"text-anchor='{anchor}'>{text}</text>\n")
        # short lines either side of the figures lead the eye to the ticks
        if 60 < cx < 1050:
            s += f"<rect x='{cx - 26}' y='{y}' width='8' height='1' fill='#4A4A4A'/>\n"
            s += f"<rect x='{cx + 18}' y='{y}' width='8' height='1' fill='#4A4A4A'/>\n"
    s += (f"<text x='{cx}' y='{BASELINE + 18}' {FONT} font-size='9' fill='#7A7A7A' "
          f"text-anchor='middle'>dB</text>\n")
    return s


def groups_of(cols, idx_groups):
    """Wells for runs of channels (1-based indices); each run is one well."""
    out = []
    for run in idx_groups:
        out.append((cols[run[0] - 1], cols[run[-1] - 1] + BAR_W))
    return out


def meter_page(name, cols, runs, lamps, scales, marks):
    s = header() + page_frame() + deck()
    for x0, x1 in groups_of(cols, runs):
        s += well(x0, x1, marks)
    for ch in lamps:
        s += lamp(cols[ch - 1])
    for cx in scales:
        s += scale(cx, marks)
    s += '</svg>\n'
    write(name, s)


def singles(a, b):
    return [[i] for i in range(a, b + 1)]


def bar(name, yellow_from):
    """The bar image: the whole scale, 18 x 340; the meter shows its bottom
    part. Red from -3 dB (height 310), yellow from `yellow_from`."""
    red_y = FULL - 310
    yel_y = FULL - yellow_from
    s = header(18, 340)
    s += ("<defs><linearGradient id='sheen' x1='0' y1='0' x2='1' y2='0'>"
          "<stop offset='0' stop-color='#000' stop-opacity='0.28'/>"
          "<stop offset='0.45' stop-color='#fff' stop-opacity='0.10'/>"
          "<stop offset='1' stop-color='#000' stop-opacity='0.30'/></linearGradient></defs>\n")
    s += f"<rect x='0' y='{yel_y}' width='18' height='{FULL - yel_y}' fill='#15E004'/>\n"
    s += f"<rect x='0' y='{red_y}' width='18' height='{yel_y - red_y}' fill='#F4E600'/>\n"
    s += f"<rect x='0' y='0' width='18' height='{red_y}' fill='#FF3100'/>\n"
    # thin dark segment lines every 4 px give the bar a calm, ladder-like face
    for y in range(3, FULL, 4):
        s += f"<rect x='0' y='{y}' width='18' height='0.7' fill='#000' fill-opacity='0.35'/>\n"
    s += "<rect x='0' y='0' width='18' height='340' fill='url(#sheen)'/>\n"
    s += '</svg>\n'
    write(name, s)


def wordmark(name, text, w, h, size, accent=True, spacing=2):
    s = header(w, h)
    x = 0
    if accent:
        s += f"<rect x='0' y='{h * 0.12:.1f}' width='{h * 0.22:.1f}' height='{h * 0.76:.1f}' fill='#08A2FF'/>\n"
        x = h * 0.42
    s += (f"<text x='{x:.1f}' y='{h * 0.84:.1f}' {FONT} font-size='{size}' letter-spacing='{spacing}' "
          f"fill='#F2F2F2'>{text}</text>\n")
    s += '</svg>\n'
    write(name, s)


def info_bg():
    s = header() + page_frame()
    # picture area on the left, the facts on the right
    s += "<rect x='40' y='80' width='560' height='420' rx='8' fill='#191919' stroke='#2E2E2E'/>\n"
    s += "<rect x='620' y='150' width='370' height='310' rx='8' fill='#191919' stroke='#2E2E2E'/>\n"
    s += f"<text x='650' y='184' {FONT} font-size='13' letter-spacing='2' fill='#8C8C8C'>DEVICE</text>\n"
    for y in (224, 255, 286):
        s += f"<rect x='650' y='{y}' width='314' height='1' fill='#2C2C2C'/>\n"
    s += f"<text x='650' y='344' {FONT} font-size='13' letter-spacing='2' fill='#8C8C8C'>ASIO DRIVER</text>\n"
    s += "<rect x='650' y='380' width='314' height='1' fill='#2C2C2C'/>\n"
    s += '</svg>\n'
    write('info_bg.svg', s)


def slider_bg():
    # The groove and its eleven ticks; the panel writes the sizes under the
    # ticks itself, in the page font and as large as they fit.
    w, h = 353, 42
    s = header(w, h)
    s += f"<rect x='7' y='20' width='{w - 14}' height='2' rx='1' fill='#4A4A4A'/>\n"
    for i in range(11):
        x = 7 + (w - 14) * i / 10
        s += f"<rect x='{x - 0.5:.1f}' y='14' width='1' height='14' fill='#6A6A6A'/>\n"
    s += '</svg>\n'
    write('slider_bg.svg', s)


# --- the program icon -------------------------------------------------------
# A dark tile with four meter bars (one reaching yellow and red), drawn as
# vector shapes in a 256-unit square; written as SVG and rasterised here
# (4 x 4 supersampling) into the PNG, ICO and ICNS sizes.
ICON_BARS = [  # x, width, top (y of the bar's top), bottom 212
    (52, 30, 120), (94, 30, 70), (136, 30, 40), (178, 30, 96)]
ICON_TILE = '#161616'
ICON_GREEN, ICON_YELLOW, ICON_RED = '#15E004', '#F4E600', '#FF3100'


def icon_shapes():
    """(colour, x0, y0, x1, y1, radius) in icon units, painted in order."""
    shapes = [(ICON_TILE, 8, 8, 248, 248, 44), ('#2C2C2C', 24, 24, 232, 232, 30),
              ('#0E0E0E', 32, 32, 224, 224, 24)]
    for i, (x, w, top) in enumerate(ICON_BARS):
        shapes.append((ICON_GREEN, x, max(top, 110), x + w, 212, 3))
        if top < 110:
            shapes.append((ICON_YELLOW, x, max(top, 62), x + w, 110, 0))
        if top < 62:
            shapes.append((ICON_RED, x, top, x + w, 62, 0))
    return shapes


def icon_svg():
    s = header(256, 256)
    for colour, x0, y0, x1, y1, r in icon_shapes():
        s += f"<rect x='{x0}' y='{y0}' width='{x1 - x0}' height='{y1 - y0}' rx='{r}' fill='{colour}'/>\n"
    s += '</svg>\n'
    write('icon/icon.svg', s)


def rgb(colour):
    return tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


def inside(px, py, x0, y0, x1, y1, r):
    if px < x0 or px >= x1 or py < y0 or py >= y1:
        return False
    cx = min(max(px, x0 + r), x1 - r)
    cy = min(max(py, y0 + r), y1 - r)
    return (px - cx) ** 2 + (py - cy) ** 2 <= r * r


def icon_rgba(size):
    shapes = icon_shapes()
    k = 4
    scale = 256.0 / (size * k)
    out = bytearray()
    for y in range(size):
        out.append(0)  # PNG filter byte
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(k):
                for sx in range(k):
                    px = (x * k + sx + 0.5) * scale
                    py = (y * k + sy + 0.5) * scale
                    colour = None
                    for c, x0, y0, x1, y1, r in shapes:
                        if inside(px, py, x0, y0, x1, y1, r):
                            colour = c
                    if colour:
                        r_, g_, b_ = rgb(colour)
                        acc[0] += r_
                        acc[1] += g_
                        acc[2] += b_
                        acc[3] += 1
            n = acc[3]
            if n:
                out += bytes([round(acc[0] / n), round(acc[1] / n), round(acc[2] / n), round(255 * n / (k * k))])
            else:
                out += b'\0\0\0\0'
    return bytes(out)


def png(size):
    import struct
    import zlib

    def chunk(t, b):
        return struct.pack('>I', len(b)) + t + b + struct.pack('>I', zlib.crc32(t + b) & 0xffffffff)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(icon_rgba(size), 9)) + chunk(b'IEND', b''))


def icons():
    import struct
    icon_svg()
    sizes = [16, 24, 32, 48, 64, 128, 256]
    pngs = {n: png(n) for n in sizes}
    with open(os.path.join(HERE, 'icon/icon_128.png'), 'wb') as f:
        f.write(pngs[128])
    # ICO with PNG images (Windows Vista and later read these at every size).
    head = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    entries, blobs = b'', b''
    for n in sizes:
        data = pngs[n]
        entries += struct.pack('<BBBBHHII', n % 256, n % 256, 0, 0, 1, 32, len(data), offset + len(blobs))
        blobs += data
    with open(os.path.join(HERE, 'icon/icon_Model.ico'), 'wb') as f:
        f.write(head + entries + blobs)
    # ICNS with PNG elements: icp4 16, icp5 32, icp6 64, ic07 128, ic08 256.
    body = b''
    for tag, n in ((b'icp4', 16), (b'icp5', 32), (b'icp6', 64), (b'ic07', 128), (b'ic08', 256)):
        body += tag + struct.pack('>I', 8 + len(pngs[n])) + pngs[n]
    with open(os.path.join(HERE, 'icon/icon.icns'), 'wb') as f:
        f.write(b'icns' + struct.pack('>I', 8 + len(body)) + body)


def main():
    # Tarrow and Quenby: 22 channels in three groups and the main pair.
    # The pairs 13-14 ... 21-22 share a well; the page's masks hide the
    # ticks between their two bars.
    t_runs = singles(1, 12) + [[13, 14], [15, 16], [17, 18], [19, 20], [21, 22], [23, 24]]
    meter_page('meter_bg.svg', COLS_TARROW, t_runs, range(1, 25), [31, 348, 689, 963], MARKS)
    # Pellin: 14 channels and the main pair.
    meter_page('meter_bg_pln.svg', COLS_TARROW, singles(1, 8) + [[9, 10], [11, 12], [13, 14], [23, 24]],
               list(range(1, 15)) + [23, 24], [31, 348, 963], MARKS)
    # Dorrit: 1-6, the pairs 7-8 and 9-10, AUX1, AUX2, SUB and the main pair.
    d_runs = singles(1, 6) + [[7, 8], [9, 10], [17], [19], [21, 22], [23, 24]]
    meter_page('meter_bg_drt.svg', COLS_DORRIT, d_runs, list(range(1, 11)) + [17, 19, 21, 22, 23, 24],
               [31, 281, 690, 963], MARKS)
    # Far Link: 24 tracks in three groups of eight.
    f_runs = singles(1, 24)
    meter_page('meter_bg_FL.svg', COLS_FARLINK, f_runs, range(1, 25), [38, 374, 737, 1072], MARKS)
    meter_page('meter_bg_FL_-20dB.svg', COLS_FARLINK, f_runs, range(1, 25), [38, 374, 737, 1072], MARKS_20)
    bar('meterbar.svg', 182)
    bar('meterbar_-20dB.svg', 172)
    os.makedirs(os.path.join(HERE, 'logo'), exist_ok=True)
    wordmark('logo/KORVEL_logo.svg', 'KORVEL', 108, 18, 16, accent=True, spacing=3)
    for file, text in (('Tarrow', 'TARROW'), ('Quenby', 'QUENBY'), ('Pellin', 'PELLIN'),
                       ('Dorrit', 'DORRIT'), ('FarLink', 'FAR LINK')):
        wordmark(f'logo/{file}_logo.svg', text, 240, 40, 30, accent=False, spacing=4)
    info_bg()
    slider_bg()
    icons()


if __name__ == '__main__':
    main()
