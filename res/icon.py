#!/usr/bin/python3
"""Render the Corvane application icon and write it as a multi-size .ico.

The picture is a power symbol (a dark ring open at the top, crossed by a red
vertical bar) on a rounded light square with a dark border.  It is drawn from
geometry in this file rather than kept as a binary image so that every pixel
can be reviewed and regenerated.  Only the Python standard library is used, so
the build needs nothing beyond /usr/bin/python3.

Usage:
    python3 res/icon.py OUTPUT.ico [--png-dir DIR] [--preview FILE]

--png-dir writes every size as icon-<N>.png for review; --preview writes one
PNG with the small sizes magnified, which is where hinting problems show.
"""

import argparse
import math
import os
import struct
import sys
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64, 128, 256)

LIGHT = (244, 243, 238)
DARK = (27, 26, 21)
RED = (196, 58, 43)

# Samples per axis for pixels that straddle an edge.  Pixels well inside or
# outside a shape are decided from the centre distance alone, which keeps the
# pure-Python renderer fast without losing edge quality.
SUPERSAMPLE = 8


# ---------------------------------------------------------------------------
# Geometry.  Every value is in pixels of the target size; pixel (i, j) covers
# [i, i+1] x [j, j+1], so whole-number edges land exactly on the pixel grid.
# ---------------------------------------------------------------------------

# Small sizes are laid out by hand: scaling the large design down gives
# strokes of 1.3 px and edges between pixels, which blur into grey mush.
# Here every stroke is a whole number of pixels and the bar, ring extremes
# and the ring's cut ends sit on pixel boundaries.
#   m  transparent margin       b  border width       rc corner radius
#   cx, cy ring centre          ro ring outer radius  t  ring thickness
#   bw bar width  by0/by1 bar top/bottom  cut half-width of the ring's gap
#   caps: "flat" cuts the ring with a vertical strip (crisp at small sizes),
#         "round" ends the arc with round caps at angle `gap` from the top.
HINTED = {
    16: dict(m=0, b=1, rc=4, cx=8, cy=9, ro=5, t=2, bw=2, by0=2, by1=9,
             cut=2, caps="flat"),
    20: dict(m=0, b=1, rc=4, cx=10, cy=11, ro=7, t=2, bw=2, by0=3, by1=11,
             cut=2, caps="flat"),
    24: dict(m=1, b=1, rc=4, cx=12, cy=13, ro=7, t=2, bw=2, by0=4, by1=13,
             cut=3, caps="flat"),
    32: dict(m=1, b=2, rc=6, cx=16, cy=17, ro=9, t=3, bw=2, by0=5, by1=16,
             cut=4, caps="flat"),
}


def design(size):
    """Geometry for `size`: hand-hinted when small, scaled and snapped otherwise."""
    if size in HINTED:
        return dict(HINTED[size])
    s = float(size)
    m = round(s / 16.0)
    w = s - 2 * m
    # Strokes are rounded to whole pixels; the bar width is kept even so the
    # bar, centred on the even-sized canvas, has both edges on the grid.
    # Never thinner than the 2 px border of the 32 px image, so the frame does
    # not get lighter as the icon grows.
    b = max(2, round(s * 0.035))
    t = max(2, round(s * 0.095))
    bw = max(2, 2 * round(s * 0.095 / 2.0))
    ro = round(s * 0.30)
    cy = size // 2 + round(s * 0.04)
    return dict(m=m, b=b, rc=round(w * 0.2), cx=size // 2, cy=cy, ro=ro, t=t,
                bw=bw, by0=round(cy - ro - s * 0.07), by1=cy - round(s * 0.02),
                gap=math.radians(38.0), caps="round")


# Signed distances: negative inside, positive outside, in pixels.

def sd_round_rect(x, y, x0, y0, x1, y1, r):
    hx = (x1 - x0) / 2.0
    hy = (y1 - y0) / 2.0
    qx = abs(x - (x0 + x1) / 2.0) - hx + r
    qy = abs(y - (y0 + y1) / 2.0) - hy + r
    ox = qx if qx > 0.0 else 0.0
    oy = qy if qy > 0.0 else 0.0
    return math.sqrt(ox * ox + oy * oy) + min(max(qx, qy), 0.0) - r


def sd_ring(x, y, g):
    dx = x - g["cx"]
    dy = y - g["cy"]
    half = g["t"] / 2.0
    mid = g["ro"] - half
    if g["caps"] == "round":
        # Mirror to the right half; measure the angle from straight up.
        px = abs(dx)
        py = -dy
        a = g["gap"]
        # Points whose direction lies inside the gap wedge measure to the
        # arc's end point (round cap); others to the circle itself.
        if py > 0.0 and px * math.cos(a) < py * math.sin(a):
            ex = mid * math.sin(a) - px
            ey = mid * math.cos(a) - py
            return math.sqrt(ex * ex + ey * ey) - half
        return abs(math.sqrt(dx * dx + dy * dy) - mid) - half
    ring = abs(math.sqrt(dx * dx + dy * dy) - mid) - half
    # Flat ends: remove a vertical strip above the centre.  Its straight,
    # grid-aligned sides keep the gap clean at 16-32 px.
    strip = sd_round_rect(x, y, g["cx"] - g["cut"], -1e6, g["cx"] + g["cut"],
                          g["cy"], 0.0)
    return max(ring, -strip)


def sd_bar(x, y, g):
    x0 = g["cx"] - g["bw"] / 2.0
    x1 = g["cx"] + g["bw"] / 2.0
    # Round ends only where the bar is wide enough for them to read as round.
    r = g["bw"] / 2.0 if g["caps"] == "round" else 0.0
    return sd_round_rect(x, y, x0, g["by0"], x1, g["by1"], r)


def layers(size, g):
    """(signed-distance function, colour) pairs, painted back to front."""
    m = g["m"]
    lo, hi = m, size - m
    b = g["b"]
    return (
        (lambda x, y: sd_round_rect(x, y, lo, lo, hi, hi, g["rc"]), DARK),
        (lambda x, y: sd_round_rect(x, y, lo + b, lo + b, hi - b, hi - b,
                                    max(g["rc"] - b, 0.0)), LIGHT),
        (lambda x, y: sd_ring(x, y, g), DARK),
        (lambda x, y: sd_bar(x, y, g), RED),
    )


def coverage(sd, px, py):
    """Fraction of pixel (px, py) inside the shape."""
    d = sd(px + 0.5, py + 0.5)
    # Half the pixel diagonal: beyond it the whole pixel is on one side.
    # (Unions/differences of distances only under-estimate, so this is safe.)
    if d >= 0.71:
        return 0.0
    if d <= -0.71:
        return 1.0
    n = SUPERSAMPLE
    inside = 0
    for j in range(n):
        sy = py + (j + 0.5) / n
        for i in range(n):
            if sd(px + (i + 0.5) / n, sy) < 0.0:
                inside += 1
    return inside / float(n * n)


def render(size):
    """Return the image as rows of straight-alpha RGBA bytes."""
    g = design(size)
    shapes = layers(size, g)
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            # Composite premultiplied, then un-premultiply once at the end.
            r = gg = bl = a = 0.0
            for sd, col in shapes:
                c = coverage(sd, px, py)
                if c == 0.0:
                    continue
                k = 1.0 - c
                r = col[0] * c + r * k
                gg = col[1] * c + gg * k
                bl = col[2] * c + bl * k
                a = c + a * k
            if a <= 0.0:
                row += b"\0\0\0\0"
                continue
            row += bytes((
                min(255, int(r / a + 0.5)),
                min(255, int(gg / a + 0.5)),
                min(255, int(bl / a + 0.5)),
                min(255, int(a * 255.0 + 0.5)),
            ))
        rows.append(bytes(row))
    return rows


# ---------------------------------------------------------------------------
# PNG and ICO encoding.
# ---------------------------------------------------------------------------

def _chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def _filter_row(row, prev, bpp):
    """Pick the filter with the smallest sum of absolute residuals (the usual
    libpng heuristic); it is a pure function of the pixels, so output stays
    deterministic while the icons stay small."""
    n = len(row)
    cands = []
    for ftype in range(5):
        out = bytearray(n)
        for i in range(n):
            a = row[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if ftype == 0:
                p = 0
            elif ftype == 1:
                p = a
            elif ftype == 2:
                p = b
            elif ftype == 3:
                p = (a + b) // 2
            else:
                p = _paeth(a, b, c)
            out[i] = (row[i] - p) & 0xFF
        score = sum(v if v < 128 else 256 - v for v in out)
        cands.append((score, ftype, bytes(out)))
    score, ftype, out = min(cands)
    return bytes((ftype,)) + out


def encode_png(rows, width, height):
    raw = bytearray()
    prev = bytes(width * 4)
    for row in rows:
        raw += _filter_row(row, prev, 4)
        prev = row
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", ihdr)
            + _chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + _chunk(b"IEND", b""))


def encode_ico(pngs):
    """pngs: list of (size, png bytes).  Every entry is stored as PNG, which
    Windows Vista and later read at all sizes."""
    head = struct.pack("<HHH", 0, 1, len(pngs))
    offset = len(head) + 16 * len(pngs)
    entries = b""
    blobs = b""
    for size, data in pngs:
        dim = 0 if size >= 256 else size  # a 0 byte means 256
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32,
                               len(data), offset)
        offset += len(data)
        blobs += data
    return head + entries + blobs


def preview(images, scale=16, pad=16):
    """Small sizes side by side, magnified, on a checkerboard that shows the
    transparent margin and any half-covered edge pixels."""
    small = [s for s in (16, 20, 24, 32) if s in images]
    width = pad + sum(s * scale + pad for s in small)
    height = pad * 2 + max(small) * scale
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            checker = ((x // 8) + (y // 8)) % 2
            bg = 200 if checker else 160
            pix = (bg, bg, bg)
            ox = pad
            for s in small:
                ix = (x - ox) // scale
                iy = (y - pad) // scale
                if 0 <= x - ox < s * scale and 0 <= iy < s:
                    r, g, b, a = images[s][iy][ix * 4:ix * 4 + 4]
                    pix = tuple((c * a + bg * (255 - a) + 127) // 255
                                for c in (r, g, b))
                    break
                ox += s * scale + pad
            row += bytes(pix) + b"\xff"
        rows.append(bytes(row))
    return encode_png(rows, width, height)


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("output", help="the .ico file to write")
    ap.add_argument("--png-dir", help="also write icon-<N>.png here")
    ap.add_argument("--preview", help="write a magnified PNG of 16-32 px")
    args = ap.parse_args(argv)

    images = {s: render(s) for s in SIZES}
    pngs = [(s, encode_png(images[s], s, s)) for s in SIZES]
    with open(args.output, "wb") as f:
        f.write(encode_ico(pngs))
    if args.png_dir:
        os.makedirs(args.png_dir, exist_ok=True)
        for s, data in pngs:
            with open(os.path.join(args.png_dir, "icon-%d.png" % s), "wb") as f:
                f.write(data)
    if args.preview:
        with open(args.preview, "wb") as f:
            f.write(preview(images))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
