#!/usr/bin/env python3
"""Draws the main window's two pictures and writes them as PNG files:

  resources/logo.png   213 x 37, the header logo: a white shield and the word QUENVAR in white,
                       on a transparent background (the header behind it is #1979CA)
  resources/share.png  18 x 17, the "recommend" icon: three linked dots in #0066CC

The pictures are committed; run this only to change them. Shapes are drawn from distance
functions with 4 x 4 supersampling, so edges are anti-aliased through the alpha channel.
"""
import os
import struct
import sys
import zlib

WHITE = (0xFF, 0xFF, 0xFF)
LINK = (0x00, 0x66, 0xCC)
HEADER = (0x19, 0x79, 0xCA)
SS = 4


def png(width, height, px):
    raw = b''.join(b'\0' + b''.join(bytes(p) for p in row) for row in px)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def render(width, height, colour_at):
    """colour_at(x, y) gives an (r, g, b) or None for a sample point in pixel units."""
    rows = []
    for j in range(height):
        row = []
        for i in range(width):
            acc = [0, 0, 0]
            hits = 0
            for sj in range(SS):
                for si in range(SS):
                    c = colour_at(i + (si + 0.5) / SS, j + (sj + 0.5) / SS)
                    if c is not None:
                        hits += 1
                        acc = [a + b for a, b in zip(acc, c)]
            if hits:
                row.append((acc[0] // hits, acc[1] // hits, acc[2] // hits, 255 * hits // (SS * SS)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def seg_dist2(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2


def ring_dist(x, y, cx, cy, rx, ry, half=None):
    """Approximate distance to an ellipse outline; half limits it to 'lower' or 'right' halves."""
    if half == 'lower' and y < cy:
        return 1e9
    if half == 'right' and x < cx:
        return 1e9
    if half == 'left' and x > cx:
        return 1e9
    r = (((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2) ** 0.5
    return abs(r - 1) * min(rx, ry)


# Capital letters on a cap height of 1, y downwards: segments and elliptic arcs.
GLYPHS = {
    'Q': (0.95, [], [(0.47, 0.5, 0.42, 0.5, None)], [(0.58, 0.72, 0.92, 1.04)]),
    'U': (0.82, [(0.08, 0.0, 0.08, 0.6), (0.74, 0.0, 0.74, 0.6)], [(0.41, 0.6, 0.33, 0.4, 'lower')], []),
    'E': (0.72, [(0.08, 0.0, 0.08, 1.0), (0.08, 0.0, 0.68, 0.0), (0.08, 0.5, 0.6, 0.5), (0.08, 1.0, 0.68, 1.0)],
          [], []),
    'N': (0.86, [(0.08, 1.0, 0.08, 0.0), (0.08, 0.0, 0.78, 1.0), (0.78, 1.0, 0.78, 0.0)], [], []),
    'V': (0.88, [(0.04, 0.0, 0.44, 1.0), (0.44, 1.0, 0.84, 0.0)], [], []),
    'A': (0.88, [(0.04, 1.0, 0.44, 0.0), (0.44, 0.0, 0.84, 1.0), (0.2, 0.64, 0.68, 0.64)], [], []),
    'R': (0.8, [(0.08, 1.0, 0.08, 0.0), (0.08, 0.0, 0.46, 0.0), (0.08, 0.54, 0.46, 0.54), (0.4, 0.54, 0.74, 1.0)],
          [(0.46, 0.27, 0.27, 0.27, 'right')], []),
}


def inside_shield(u, v):
    # Unit square, y downwards: flat top, straight sides, a rounded point at the bottom.
    if v < 0.0 or v > 1.0 or u < 0.0 or u > 1.0:
        return False
    if v < 0.5:
        return True
    t = (v - 0.5) / 0.5
    return abs(u - 0.5) <= 0.5 * (1 - t * t) ** 0.5


def logo():
    width, height = 213, 37
    # Shield: 28 x 33 at the left.
    sx, sy, sw, sh = 1.0, 2.0, 28.0, 33.0
    # Word: cap height 22, starting at x = 40, baseline at 29.5.
    cap, stroke, x0, top = 22.0, 3.0, 40.0, 7.5
    letters = []
    x = x0
    for ch in 'QUENVAR':
        adv, segs, arcs, tails = GLYPHS[ch]
        letters.append((x, segs + tails, arcs))
        x += adv * cap + 0.24 * cap
    assert x <= width, x

    def colour_at(px, py):
        u, v = (px - sx) / sw, (py - sy) / sh
        if inside_shield(u, v):
            # A header-blue tick inside the white shield.
            d = min(seg_dist2(u, v, 0.24, 0.47, 0.43, 0.68), seg_dist2(u, v, 0.43, 0.68, 0.78, 0.3))
            return HEADER if d <= 0.085 ** 2 else WHITE
        if py < top - stroke or py > top + cap + stroke:
            return None
        half = stroke / 2
        for lx, segs, arcs in letters:
            if px < lx - stroke or px > lx + cap + stroke:
                continue
            gx, gy = (px - lx) / cap, (py - top) / cap
            hw = half / cap
            for s in segs:
                if seg_dist2(gx, gy, *s) <= hw * hw:
                    return WHITE
            for a in arcs:
                if ring_dist(gx, gy, *a) <= hw:
                    return WHITE
        return None
    return width, height, render(width, height, colour_at)


def share():
    width, height = 18, 17
    dots = [(13.5, 3.5), (4.0, 8.5), (13.5, 13.5)]

    def colour_at(px, py):
        for cx, cy in dots:
            if (px - cx) ** 2 + (py - cy) ** 2 <= 3.0 ** 2:
                return LINK
        for a, b in ((dots[1], dots[0]), (dots[1], dots[2])):
            if seg_dist2(px, py, a[0], a[1], b[0], b[1]) <= 0.8 ** 2:
                return LINK
        return None
    return width, height, render(width, height, colour_at)


def main(folder):
    for name, make in (('logo.png', logo), ('share.png', share)):
        width, height, px = make()
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(png(width, height, px))


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'resources')
