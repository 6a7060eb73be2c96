#!/usr/bin/env python3
"""Draws Sonaret's icons and writes them as .ico files (16, 32 and 48 px,
32-bit colour with alpha), so that both builds use the same pictures; with
PNG_DIR, also the program's icon as PNG files at the sizes of the desktop's
icon theme (NxN.png), which Linux installs for its menu entry.

usage: scripts/draw-icons.py ICO_DIR [PNG_DIR]
       (in this tree: scripts/draw-icons.py ui/res desktop/icons)

Shapes are described in a 48-unit square and scaled to each size; a pixel's
coverage is sampled 4x4 so small sizes stay smooth."""
import math
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48)
# The sizes desktops look for in the hicolor theme, menus to software centres.
THEME_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def round_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r0, r1):
    return lambda x, y: r0 * r0 <= (x - cx) ** 2 + (y - cy) ** 2 <= r1 * r1


def minus(a, b):
    return lambda x, y: a(x, y) and not b(x, y)


def polygon(points):
    def inside(x, y):
        n, hit = len(points), False
        for i in range(n):
            (xa, ya), (xb, yb) = points[i], points[(i + 1) % n]
            if (ya > y) != (yb > y) and x < (xb - xa) * (y - ya) / (yb - ya) + xa:
                hit = not hit
        return hit
    return inside


# Each icon is a list of (shape, (r, g, b)) layers, later layers on top.
def program_icon():
    layers = [(round_rect(1, 1, 47, 47, 9), (24, 36, 64))]
    # The waveform behind the microphone: green bars of a decaying tone.
    for i, h in enumerate((6, 12, 20, 14, 8, 16, 22, 10)):
        x = 5 + i * 5
        layers.append((rect(x, 24 - h / 2, x + 3, 24 + h / 2), (60, 220, 90)))
    # The microphone: capsule, cradle, stem and foot.
    layers.append((round_rect(17, 6, 31, 30, 7), (235, 235, 240)))
    layers.append((minus(ring(24, 24, 10, 13), rect(0, 0, 48, 24)), (200, 200, 210)))
    layers.append((rect(22.5, 36, 25.5, 41), (200, 200, 210)))
    layers.append((round_rect(16, 40, 32, 43, 1.5), (200, 200, 210)))
    return layers


def folder_icon():
    return [
        (round_rect(3, 9, 22, 18, 2), (214, 160, 40)),
        (round_rect(3, 13, 45, 41, 3), (240, 190, 60)),
        (rect(5, 17, 43, 19), (250, 215, 120)),
    ]


def device_icon():
    # A speaker: box, cone and two sound arcs.
    arcs = lambda r0, r1: minus(ring(26, 24, r0, r1), rect(0, 0, 28, 48))
    return [
        (rect(6, 17, 16, 31), (70, 90, 140)),
        (polygon([(15, 17), (27, 7), (27, 41), (15, 31)]), (70, 90, 140)),
        (minus(arcs(6, 9), polygon([(26, 24), (48, 0), (48, 6)])), (60, 170, 230)),
        (arcs(12, 15), (60, 170, 230)),
    ]


def gear_icon():
    teeth = []
    for k in range(8):
        a = k * math.pi / 4
        c, s = math.cos(a), math.sin(a)
        pts = [(-4, 12), (4, 12), (4, 21), (-4, 21)]
        teeth.append([(24 + px * c - py * s, 24 + px * s + py * c) for px, py in pts])
    body = circle(24, 24, 14)
    gear = lambda x, y: body(x, y) or any(polygon(t)(x, y) for t in teeth)
    return [(minus(gear, circle(24, 24, 6)), (110, 120, 135))]


def render(layers, size):
    pixels = []
    step = 48.0 / size
    for row in range(size):
        line = []
        for col in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(4):
                for sx in range(4):
                    x = (col + (sx + 0.5) / 4) * step
                    y = (row + (sy + 0.5) / 4) * step
                    colour = None
                    for shape, rgb in layers:
                        if shape(x, y):
                            colour = rgb
                    if colour:
                        acc[0] += colour[0]
                        acc[1] += colour[1]
                        acc[2] += colour[2]
                        acc[3] += 1
            n = acc[3]
            if n:
                line.append((round(acc[0] / n), round(acc[1] / n), round(acc[2] / n),
                             round(255 * n / 16)))
            else:
                line.append((0, 0, 0, 0))
        pixels.append(line)
    return pixels


def ico_image(pixels, size):
    # BITMAPINFOHEADER with twice the height (colour rows, then the AND mask),
    # rows bottom-up, BGRA.
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b''.join(struct.pack('<BBBB', b, g, r, a)
                      for line in reversed(pixels) for (r, g, b, a) in line)
    mask_row = ((size + 31) // 32) * 4
    mask = b''
    for line in reversed(pixels):
        bits = bytearray(mask_row)
        for x, (_, _, _, a) in enumerate(line):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + colour + mask


def write_ico(path, layers):
    images = [ico_image(render(layers, s), s) for s in SIZES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(SIZES, images):
        out += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


def write_png(path, pixels):
    # 8-bit RGBA, not interlaced; each row starts with filter type 0 (none).
    size = len(pixels)
    rows = b''.join(b'\0' + bytes(v for px in line for v in px) for line in pixels)

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data +
                struct.pack('>I', zlib.crc32(kind + data)))

    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' +
                chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
                chunk(b'IDAT', zlib.compress(rows, 9)) + chunk(b'IEND', b''))


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit('usage: draw-icons.py ICO_DIR [PNG_DIR]')
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, layers in (('sonaret.ico', program_icon()), ('folder.ico', folder_icon()),
                         ('device.ico', device_icon()), ('gear.ico', gear_icon())):
        write_ico(os.path.join(out, name), layers)
    if len(sys.argv) == 3:
        os.makedirs(sys.argv[2], exist_ok=True)
        for size in THEME_SIZES:
            write_png(os.path.join(sys.argv[2], '%dx%d.png' % (size, size)),
                      render(program_icon(), size))


if __name__ == '__main__':
    main()
