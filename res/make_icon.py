#!/usr/bin/env python3
"""Draws the setup's own icon and writes it as an .ico file: a silver disc with a green arrow pointing
down into it, at 16, 32, 48 and 256 pixels.

    make_icon.py OUT.ico

Every image is drawn from the same shapes, given as signed distances, so each size is drawn for its own
pixel grid (edges anti-aliased by distance, outlines never thinner than one pixel) instead of being
shrunk from the big one. The images are stored PNG-compressed, which Windows reads in icons since Vista:
flat colours compress to a few hundred bytes, where 32-bit bitmaps would cost 15 KB of a stub that
has to stay small. The output depends on nothing but this file (no time stamps, fixed zlib level).
"""
import math
import struct
import sys
import zlib

SIZES = (16, 32, 48, 256)

OUTLINE = (40, 52, 80)
CASE = (214, 222, 236)
SPINE = (120, 138, 176)
DISC = (160, 176, 206)
ARROW = (46, 160, 72)
ARROW_EDGE = (20, 90, 38)

# In units of the icon's width: a disc case with its spine on the left, a disc showing through its
# front, and the arrow pointing down at its lower right. The case is axis-aligned and snapped to the
# pixel grid, which keeps its edges crisp at every size and lets PNG's row filter remove them almost
# entirely: a 256-pixel image of round shapes alone costs several kilobytes.
CASE_BOX = (0.04, 0.08, 0.80, 0.88)
SPINE_RIGHT = 0.16
DISC_CENTRE, DISC_RADIUS, HOLE_RADIUS = (0.48, 0.44), 0.25, 0.06
ARROW_SHAPE = [(0.62, 0.34), (0.84, 0.34), (0.84, 0.62), (0.98, 0.62), (0.73, 0.90), (0.48, 0.62),
               (0.62, 0.62)]


def circle(x, y, centre, r):
    return math.hypot(x - centre[0], y - centre[1]) - r


def box(x, y, x0, y0, x1, y1):
    """Signed distance to an axis-aligned rectangle: negative inside."""
    dx, dy = max(x0 - x, x - x1), max(y0 - y, y - y1)
    if dx < 0 and dy < 0:
        return max(dx, dy)
    return math.hypot(max(dx, 0.0), max(dy, 0.0))


def polygon(x, y, pts):
    """Signed distance to a simple polygon: negative inside."""
    d = float("inf")
    inside = False
    n = len(pts)
    for i in range(n):
        ax, ay = pts[i]
        bx, by = pts[(i + 1) % n]
        ex, ey = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * ex + (y - ay) * ey) / (ex * ex + ey * ey)))
        d = min(d, math.hypot(x - ax - t * ex, y - ay - t * ey))
        if (ay > y) != (by > y) and x < ax + (y - ay) * ex / ey:
            inside = not inside
    return -d if inside else d


def over(dst, colour, alpha):
    """Paints `colour` with coverage `alpha` over the premultiplied pixel `dst`."""
    if alpha <= 0.0:
        return dst
    r, g, b, a = dst
    k = 1.0 - alpha
    return (colour[0] * alpha + r * k, colour[1] * alpha + g * k, colour[2] * alpha + b * k, alpha + a * k)


def coverage(d):
    """Share of a pixel covered by a shape whose edge is d pixels away (negative: inside), in steps of a
    quarter: finer steps make no visible difference and double the compressed size."""
    return round(max(0.0, min(1.0, 0.5 - d)) * 4) / 4


def draw(n):
    px = 1.0 / n                               # one pixel in icon units
    line = max(1.0, round(n / 32.0))           # outline width in whole pixels
    snap = lambda v: round(v * n) / n
    x0, y0, x1, y1 = (snap(v) for v in CASE_BOX)
    spine = snap(SPINE_RIGHT)
    rows = []
    for j in range(n):
        row = []
        for i in range(n):
            x, y = (i + 0.5) * px, (j + 0.5) * px
            p = (0.0, 0.0, 0.0, 0.0)
            case = box(x, y, x0, y0, x1, y1) / px
            front = coverage(case + line)
            p = over(p, OUTLINE, coverage(case))
            p = over(p, CASE, front)
            p = over(p, SPINE, coverage((x - spine) / px) * front)
            p = over(p, OUTLINE, coverage(abs(x - spine) / px - line / 2) * front)
            disc = circle(x, y, DISC_CENTRE, DISC_RADIUS) / px
            hole = circle(x, y, DISC_CENTRE, HOLE_RADIUS) / px
            p = over(p, DISC, coverage(disc) * coverage(-hole - line))
            arrow = polygon(x, y, ARROW_SHAPE) / px
            p = over(p, ARROW_EDGE, coverage(arrow))
            p = over(p, ARROW, coverage(arrow + line))
            r, g, b, a = p
            if a <= 0.0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(min(255.0, c / a))) for c in (r, g, b)) + (int(round(a * 255)),))
        rows.append(row)
    return rows


def png(rows):
    h, w = len(rows), len(rows[0])

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = bytearray()
    prev = bytes(4 * w)
    for row in rows:
        cur = bytes(c for p in row for c in p)
        # Filter "Up" against the row above, or none, whichever leaves smaller bytes to compress.
        up = bytes((cur[k] - prev[k]) & 0xFF for k in range(len(cur)))
        cost = lambda b: sum(v if v < 128 else 256 - v for v in b)
        raw += b"\x02" + up if cost(up) < cost(cur) else b"\x00" + cur
        prev = cur
    ihdr = struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)  # 8-bit RGBA, no interlace
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) +
            chunk(b"IEND", b""))


def ico(images):
    """An .ico file: ICONDIR, one ICONDIRENTRY per image, then the images."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in images:
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUT.ico")
    data = ico([(n, png(draw(n))) for n in SIZES])
    with open(sys.argv[1], "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
