#!/usr/bin/env python3
"""Draws the module's icon, a blue cloud over a yellow folder, and writes it
as corvanel.ico: four 24-bit images of 48, 32, 24 and 16 pixels, each with a
1-bit transparency mask.

    draw_icon.py            rewrite resources/corvanel.ico
    draw_icon.py --check    exit 1 if the committed .ico differs from this drawing

Shapes are signed distance fields in a unit square, sampled 8x8 per pixel.
The mask has no partial transparency, so a pixel is opaque when at least half
its samples hit a shape. Its colour is the mean of the samples that hit, or at
24 pixels and below their most common colour, which keeps one-pixel outlines
crisp.
Python 3 only, no other packages.
"""

import math
import os
import struct
import sys

SIZES = (48, 32, 24, 16)
SAMPLES = 8
CRISP_UP_TO = 24  # at these sizes a pixel takes its most common colour, not the mean
HERE = os.path.dirname(os.path.abspath(__file__))
ICO_PATH = os.path.join(HERE, "corvanel.ico")

FOLDER_BACK = (0xD4, 0x94, 0x18)
FOLDER_FRONT = (0xF8, 0xC9, 0x4C)
FOLDER_EDGE = (0x7A, 0x4E, 0x08)
CLOUD_FILL = (0x3A, 0x8C, 0xE2)
CLOUD_EDGE = (0x12, 0x3F, 0x7E)


def box(px, py, x0, y0, x1, y1, radius):
    """Distance from (px, py) to a rounded box; negative inside."""
    hx, hy = (x1 - x0) / 2, (y1 - y0) / 2
    qx = abs(px - (x0 + x1) / 2) - hx + radius
    qy = abs(py - (y0 + y1) / 2) - hy + radius
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def circle(px, py, cx, cy, radius):
    return math.hypot(px - cx, py - cy) - radius


def layers(size):
    """The shapes front to back, each with its fill and outline colour: the
    first a sample falls in gives its colour. Straight edges are snapped to
    the pixel grid of the size drawn, so they stay sharp at every size."""
    def snap(v):
        return round(v * size) / size

    def snapped_box(x, y, x0, y0, x1, y1, radius):
        return box(x, y, snap(x0), snap(y0), snap(x1), snap(y1), radius)

    def snapped_circle(x, y, cx, cy, radius):
        return circle(x, y, snap(cx), snap(cy), snap(radius))

    def folder_back(x, y):
        body = snapped_box(x, y, 0.0625, 0.3125, 0.9375, 0.9375, 0.05)
        tab = snapped_box(x, y, 0.0625, 0.1875, 0.4375, 0.375, 0.04)
        return min(body, tab)

    def folder_front(x, y):
        return snapped_box(x, y, 0.0625, 0.4375, 0.9375, 0.9375, 0.05)

    def cloud(x, y):
        return min(snapped_circle(x, y, 0.36, 0.40, 0.15),
                   snapped_circle(x, y, 0.58, 0.27, 0.21),
                   snapped_circle(x, y, 0.80, 0.42, 0.14),
                   snapped_box(x, y, 0.25, 0.375, 0.9375, 0.625, 0.06))

    return ((cloud, CLOUD_FILL, CLOUD_EDGE),
            (folder_front, FOLDER_FRONT, FOLDER_EDGE),
            (folder_back, FOLDER_BACK, FOLDER_EDGE))


RING = [(math.cos(i * math.pi / 4), math.sin(i * math.pi / 4)) for i in range(8)]


def near_outside(shape, x, y, reach):
    """Whether some point within reach of (x, y) lies outside shape. Asked of
    the points themselves because inside a union of shapes the smallest
    distance understates the depth, which would draw seams where the parts
    overlap."""
    return any(shape(x + reach * dx, y + reach * dy) > 0 for dx, dy in RING)


def sample(shapes, x, y, reach):
    """Colour at unit point (x, y), or None where no shape is."""
    for shape, fill, outline in shapes:
        if shape(x, y) <= 0:
            return outline if near_outside(shape, x, y, reach) else fill
    return None


def pixel(shapes, size, row, col):
    """The colour of one pixel from its samples, None when mostly empty."""
    edge = 1.0 if size <= CRISP_UP_TO else size / 20  # outline width in pixels
    hits = []
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (col + (sx + 0.5) / SAMPLES) / size
            y = (row + (sy + 0.5) / SAMPLES) / size
            colour = sample(shapes, x, y, edge / size)
            if colour is not None:
                hits.append(colour)
    if 2 * len(hits) < SAMPLES * SAMPLES:
        return None
    if size <= CRISP_UP_TO:
        return max(sorted(set(hits)), key=hits.count)
    return tuple(round(sum(c[i] for c in hits) / len(hits)) for i in range(3))


def draw(size):
    """Rows top to bottom of (r, g, b) tuples, None for transparent."""
    shapes = layers(size)
    return [[pixel(shapes, size, row, col) for col in range(size)] for row in range(size)]


def dib(rows):
    """One icon image: BITMAPINFOHEADER, 24-bit colours, 1-bit mask, bottom-up."""
    size = len(rows)
    colour_stride = (size * 3 + 3) & ~3
    mask_stride = ((size + 31) // 32) * 4
    colours, mask = bytearray(), bytearray()
    for pixels in reversed(rows):
        line = bytearray()
        bits = bytearray(mask_stride)
        for col, rgb in enumerate(pixels):
            if rgb is None:
                line += b"\0\0\0"  # black under a set mask bit leaves the screen as is
                bits[col // 8] |= 0x80 >> (col % 8)
            else:
                line += bytes((rgb[2], rgb[1], rgb[0]))
        colours += line.ljust(colour_stride, b"\0")
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 24, 0,
                         len(colours) + len(mask), 0, 0, 0, 0)
    return header + bytes(colours) + bytes(mask)


def ico(images):
    """ICONDIR, one ICONDIRENTRY per image, then the images."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 24, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main(argv):
    data = ico([(size, dib(draw(size))) for size in SIZES])
    if argv[1:] == ["--check"]:
        with open(ICO_PATH, "rb") as f:
            if f.read() != data:
                print(f"{ICO_PATH} is not what draw_icon.py draws: rerun it and commit")
                return 1
        return 0
    if argv[1:]:
        print(__doc__)
        return 2
    with open(ICO_PATH, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
