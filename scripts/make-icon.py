#!/usr/bin/env python3
"""Draws the program icon (a blue shield with a white tick) and writes resources/Quenvar.ico.

The icon is committed; run this only to change it. Sizes 16, 32 and 48 are stored as 32-bit
DIBs, 256 as PNG, as Windows Vista and later expect.
"""
import struct
import sys
import zlib

BLUE = (0x19, 0x79, 0xCA)
DARK = (0x00, 0x33, 0x99)
WHITE = (0xFF, 0xFF, 0xFF)


def inside_shield(x, y):
    # Unit square coordinates, y downwards: flat top, straight sides, a pointed bottom.
    if y < 0.08 or y > 0.94 or x < 0.12 or x > 0.88:
        return False
    if y < 0.55:
        return True
    t = (y - 0.55) / 0.39  # 0 at the shoulders, 1 at the tip
    half = 0.38 * (1 - t * t) ** 0.5 if t < 1 else 0
    return abs(x - 0.5) <= half


def on_tick(x, y, w):
    def seg(ax, ay, bx, by):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        px, py = ax + t * dx, ay + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= w * w
    return seg(0.30, 0.48, 0.45, 0.65) or seg(0.45, 0.65, 0.72, 0.33)


def render(size):
    ss = 4
    px = []
    for j in range(size):
        row = []
        for i in range(size):
            acc = [0, 0, 0, 0]
            for sj in range(ss):
                for si in range(ss):
                    x = (i + (si + 0.5) / ss) / size
                    y = (j + (sj + 0.5) / ss) / size
                    if not inside_shield(x, y):
                        continue
                    if on_tick(x, y, 0.07):
                        c = WHITE
                    elif not inside_shield(x - 0.05, y) or not inside_shield(x + 0.05, y) or \
                            not inside_shield(x, y + 0.05) or y < 0.13:
                        c = DARK
                    else:
                        c = BLUE
                    acc[0] += c[0]
                    acc[1] += c[1]
                    acc[2] += c[2]
                    acc[3] += 255
            n = ss * ss
            a = acc[3] // n
            if a:
                cover = acc[3] // 255
                row.append((acc[0] // cover, acc[1] // cover, acc[2] // cover, a))
            else:
                row.append((0, 0, 0, 0))
        px.append(row)
    return px


def dib(size, px):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    body = b''.join(bytes((b, g, r, a)) for row in reversed(px) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    return header + body + b'\0' * (mask_row * size)


def png(size, px):
    raw = b''.join(b'\0' + b''.join(bytes(p) for p in row) for row in px)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def main(path):
    images = []
    for size in (16, 32, 48, 256):
        px = render(size)
        images.append((size, png(size, px) if size == 256 else dib(size, px)))
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b''.join(data for _, data in images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'resources/Quenvar.ico')
