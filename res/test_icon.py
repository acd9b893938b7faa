"""Checks for res/icon.py: the .ico container, the PNGs inside it, and enough
pixel facts that a broken drawing (missing bar, closed or filled ring, no
transparent corners, premature end of file) fails.

Run with:  /usr/bin/python3 -m pytest res/test_icon.py
"""

import os
import struct
import subprocess
import sys
import zlib

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "icon.py")
EXPECTED_SIZES = [16, 20, 24, 32, 40, 48, 64, 128, 256]


def build(path):
    subprocess.run([sys.executable, SCRIPT, str(path)], check=True)
    with open(path, "rb") as f:
        return f.read()


@pytest.fixture(scope="module")
def ico_bytes(tmp_path_factory):
    return build(tmp_path_factory.mktemp("icon") / "corvane.ico")


def parse_ico(data):
    """Return [(width, height, planes, bitcount, blob)] from an .ico file."""
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert reserved == 0 and kind == 1, "not an icon directory"
    entries = []
    spans = []
    for i in range(count):
        w, h, colours, res, planes, bits, size, offset = struct.unpack_from(
            "<BBBBHHII", data, 6 + 16 * i)
        assert colours == 0 and res == 0
        assert offset >= 6 + 16 * count, "image overlaps the directory"
        assert offset + size <= len(data), "image runs past end of file"
        spans.append((offset, offset + size))
        entries.append((w or 256, h or 256, planes, bits,
                        data[offset:offset + size]))
    spans.sort()
    for (_, end), (start, _) in zip(spans, spans[1:]):
        assert end <= start, "images overlap"
    assert spans[-1][1] == len(data), "trailing bytes after the last image"
    return entries


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def decode_png(blob):
    """Decode an 8-bit RGBA PNG, checking every chunk CRC.
    Returns (width, height, rows of (r, g, b, a) tuples)."""
    assert blob[:8] == b"\x89PNG\r\n\x1a\n", "missing PNG signature"
    pos = 8
    idat = b""
    ihdr = None
    seen_end = False
    while pos < len(blob):
        (length,) = struct.unpack_from(">I", blob, pos)
        kind = blob[pos + 4:pos + 8]
        body = blob[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack_from(">I", blob, pos + 8 + length)
        assert crc == zlib.crc32(kind + body) & 0xFFFFFFFF, \
            "bad CRC in %r chunk" % kind
        if kind == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            seen_end = True
        pos += 12 + length
    assert seen_end and pos == len(blob)
    width, height, depth, ctype, comp, filt, interlace = ihdr
    assert (depth, ctype, comp, filt, interlace) == (8, 6, 0, 0, 0), \
        "expected 8-bit RGBA, non-interlaced"

    raw = zlib.decompress(idat)
    stride = width * 4
    assert len(raw) == height * (stride + 1)
    rows = []
    prev = bytearray(stride)
    for y in range(height):
        ftype = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if ftype == 0:
                p = 0
            elif ftype == 1:
                p = a
            elif ftype == 2:
                p = b
            elif ftype == 3:
                p = (a + b) // 2
            elif ftype == 4:
                p = paeth(a, b, c)
            else:
                raise AssertionError("unknown filter type %d" % ftype)
            line[i] = (line[i] + p) & 0xFF
        rows.append([tuple(line[x * 4:x * 4 + 4]) for x in range(width)])
        prev = line
    return width, height, rows


@pytest.fixture(scope="module")
def images(ico_bytes):
    out = {}
    for w, h, planes, bits, blob in parse_ico(ico_bytes):
        pw, ph, rows = decode_png(blob)
        assert (pw, ph) == (w, h)
        out[w] = rows
    return out


def is_light(px):
    return px[3] == 255 and min(px[:3]) > 200


def is_dark(px):
    return px[3] == 255 and max(px[:3]) < 70


def is_red(px):
    r, g, b, a = px
    return a == 255 and r > 150 and g < 100 and b < 100


def test_directory_has_nine_32bit_png_images(ico_bytes):
    entries = parse_ico(ico_bytes)
    assert [e[0] for e in entries] == EXPECTED_SIZES
    for w, h, planes, bits, blob in entries:
        assert w == h
        assert planes == 1 and bits == 32
        assert blob.startswith(b"\x89PNG")
    # The 256 px entry must use the 0 byte, not a truncated 256.
    (count,) = struct.unpack_from("<H", ico_bytes, 4)
    last = 6 + 16 * (count - 1)
    assert ico_bytes[last] == 0 and ico_bytes[last + 1] == 0


def test_every_png_decodes_at_its_size(images):
    assert sorted(images) == EXPECTED_SIZES
    for size, rows in images.items():
        assert len(rows) == size and all(len(r) == size for r in rows)


def test_output_is_deterministic(ico_bytes, tmp_path):
    assert build(tmp_path / "again.ico") == ico_bytes


@pytest.mark.parametrize("size", EXPECTED_SIZES)
def test_corners_are_transparent(images, size):
    rows = images[size]
    for x, y in ((0, 0), (size - 1, 0), (0, size - 1), (size - 1, size - 1)):
        assert rows[y][x][3] == 0, "corner (%d,%d) not transparent" % (x, y)


@pytest.mark.parametrize("size", EXPECTED_SIZES)
def test_frame_is_dark_and_interior_near_corner_light(images, size):
    rows = images[size]
    mid = rows[size // 2]
    first_opaque = next(px for px in mid if px[3] == 255)
    assert is_dark(first_opaque), "square has no dark border on the left"
    k = int(size * 0.2)
    assert is_light(rows[k][k]), "top-left interior not light"
    assert is_light(rows[k][size - 1 - k]), "top-right interior not light"


@pytest.mark.parametrize("size", EXPECTED_SIZES)
def test_bar_is_red_and_stands_in_the_ring_gap(images, size):
    rows = images[size]
    y = int(size * 0.25)
    x = size // 2
    assert is_red(rows[y][x]), "centre-top of the symbol is not red"
    # Right of the bar, at the same height, the ring is open: light, not dark.
    while is_red(rows[y][x]):
        x += 1
    assert is_light(rows[y][x]), "no light gap between bar and ring"


@pytest.mark.parametrize("size", EXPECTED_SIZES)
def test_ring_is_dark_below_and_hollow(images, size):
    rows = images[size]
    col = size // 2
    assert is_light(rows[int(size * 0.6)][col]), "ring is not hollow"
    band = range(int(size * 0.65), int(size * 0.92))
    assert any(is_dark(rows[y][col]) for y in band), \
        "no dark ring below the centre"
