#!/usr/bin/env python3
"""Renders the images of an .ico file into one PNG for review: each image
magnified to 192 pixels over a checkerboard (the transparent parts show as
squares), and below them each at its real size on a light and on a dark
background, as a file manager would show it.

    icon_preview.py [ICO] [PNG]

ICO defaults to resources/corvanel.ico, PNG to build/icon-sizes.png. Reads
24-bit images with a 1-bit mask, the only kind the module carries. Python 3
only: the PNG is written by hand with zlib.
"""

import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
MAGNIFIED = 192
GAP = 16
LIGHT = (0xF4, 0xF4, 0xF4)
DARK = (0x30, 0x30, 0x30)
CHECKS = ((0xFF, 0xFF, 0xFF), (0xCC, 0xCC, 0xCC))


def read_ico(data):
    """[(size, rows)] with rows top to bottom of (r, g, b), None where masked."""
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    if kind != 1:
        raise ValueError("not an icon file")
    images = []
    for i in range(count):
        offset = struct.unpack_from("<I", data, 6 + 16 * i + 12)[0]
        header = struct.unpack_from("<IiiHHI", data, offset)
        width, height2, bits = header[1], header[2], header[4]
        if bits != 24 or height2 != 2 * width:
            raise ValueError(f"image {i}: {bits}-bit {width}x{height2 // 2}, "
                             "expected 24-bit square")
        size = width
        colour_stride = (size * 3 + 3) & ~3
        mask_stride = ((size + 31) // 32) * 4
        colours = offset + header[0]
        mask = colours + colour_stride * size
        rows = []
        for row in range(size - 1, -1, -1):  # stored bottom-up
            pixels = []
            for col in range(size):
                if data[mask + row * mask_stride + col // 8] & (0x80 >> (col % 8)):
                    pixels.append(None)
                else:
                    b, g, r = data[colours + row * colour_stride + 3 * col:][:3]
                    pixels.append((r, g, b))
            rows.append(pixels)
        images.append((size, rows))
    return images


class Canvas:
    def __init__(self, width, height, colour):
        self.width, self.height = width, height
        self.pixels = [[colour] * width for _ in range(height)]

    def fill(self, x, y, w, h, colour):
        for row in range(y, y + h):
            self.pixels[row][x:x + w] = [colour] * w

    def icon(self, x, y, rows, scale, background=None):
        """Draws rows at (x, y), each pixel a scale-by-scale square; masked
        pixels show background, or a checkerboard when there is none."""
        for r, pixels in enumerate(rows):
            for c, rgb in enumerate(pixels):
                for dy in range(scale):
                    for dx in range(scale):
                        px, py = x + c * scale + dx, y + r * scale + dy
                        if rgb is not None:
                            colour = rgb
                        elif background is not None:
                            colour = background
                        else:
                            colour = CHECKS[((px - x) // 8 + (py - y) // 8) % 2]
                        self.pixels[py][px] = colour

    def png(self):
        def chunk(kind, body):
            return (struct.pack(">I", len(body)) + kind + body +
                    struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
        raw = b"".join(b"\0" + bytes(v for rgb in row for v in rgb) for row in self.pixels)
        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def render(images):
    largest = max(size for size, _ in images)
    width = GAP + len(images) * (MAGNIFIED + GAP)
    height = GAP + MAGNIFIED + 2 * (GAP + largest + 2 * GAP) + GAP
    canvas = Canvas(width, height, (0xFF, 0xFF, 0xFF))
    for i, (size, rows) in enumerate(images):
        x = GAP + i * (MAGNIFIED + GAP)
        canvas.icon(x, GAP, rows, MAGNIFIED // size)
        y = GAP + MAGNIFIED + GAP
        for background in (LIGHT, DARK):
            canvas.fill(x, y, MAGNIFIED, largest + 2 * GAP, background)
            canvas.icon(x + (MAGNIFIED - size) // 2, y + GAP + (largest - size) // 2,
                        rows, 1, background)
            y += largest + 2 * GAP + GAP
    return canvas.png()


def main(argv):
    ico_path = argv[1] if len(argv) > 1 else os.path.join(HERE, "corvanel.ico")
    png_path = argv[2] if len(argv) > 2 else os.path.join(HERE, "..", "build", "icon-sizes.png")
    with open(ico_path, "rb") as f:
        images = read_ico(f.read())
    os.makedirs(os.path.dirname(os.path.abspath(png_path)), exist_ok=True)
    with open(png_path, "wb") as f:
        f.write(render(images))
    print(os.path.normpath(os.path.abspath(png_path)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
