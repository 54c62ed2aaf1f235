#!/usr/bin/env python3
"""Writes res/zem-builder.ico, the Windows program's icon, and res/zem-archive.ico, the icon of
.zem files, from the shared artwork in icon_art.py.

Each holds two 32x32 images, the way Windows keeps icons for palette displays: one in 16 colours (4 bits per
pixel, the standard Windows 16-colour palette) and one in 256 colours (8 bits per pixel). Each is
a BMP without its file header (BITMAPINFOHEADER, palette, colour pixels bottom-up, then the 1-bit
AND mask that marks the transparent pixels). The output depends only on the artwork, so running
the script again gives the same bytes; the .ico files are committed and `--check` tells whether
they are up to date.

Usage: res/make_ico.py [--check] [FOLDER]   (default: the folder of this script)
"""

import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import icon_art  # noqa: E402

SIZE = 32

# The 16 colours every Windows display driver has.
STANDARD_16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


# Each icon's file and its artwork.
ICONS = (("zem-builder.ico", icon_art.colour_at), ("zem-archive.ico", icon_art.archive_colour_at))


def artwork(art):
    """Rows top-down of (r, g, b) or None for a transparent pixel."""
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            r, g, b, a = icon_art.pixel(x, y, SIZE, art)
            row.append((r, g, b) if a >= 128 else None)
        rows.append(row)
    return rows


def palette_256(rows):
    """The image's own colours when they fit (index 0 stays black for transparent pixels), else
    the standard 16 followed by a 6x6x6 colour cube and a grey ramp."""
    colours = sorted({c for row in rows for c in row if c is not None})
    if len(colours) <= 255:
        palette = [(0, 0, 0)] + colours
    else:
        levels = [0, 51, 102, 153, 204, 255]
        cube = [(r, g, b) for r in levels for g in levels for b in levels]
        greys = [(v, v, v) for v in range(8, 248, 10)]
        palette = STANDARD_16 + cube + greys
    return palette + [(0, 0, 0)] * (256 - len(palette))


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda i: (sum((p - c) ** 2 for p, c in zip(palette[i], colour)), i))


def image(rows, bits, palette):
    """One icon image: BITMAPINFOHEADER, palette, pixel indices, AND mask."""
    cache = {}
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # BMP rows run bottom-up
        indices = []
        mask_bits = 0
        for x, colour in enumerate(row):
            if colour is None:
                indices.append(0)
                mask_bits |= 1 << (SIZE - 1 - x)
            else:
                if colour not in cache:
                    cache[colour] = nearest(palette, colour)
                indices.append(cache[colour])
        if bits == 4:
            line = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, SIZE, 2))
        else:
            line = bytes(indices)
        pixels += line + b"\0" * (-len(line) % 4)
        mask += mask_bits.to_bytes(SIZE // 8, "big") + b"\0" * (-(SIZE // 8) % 4)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, bits, 0,
                         len(pixels) + len(mask), 0, 0, len(palette), 0)
    quads = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + quads + bytes(pixels) + bytes(mask)


def ico_bytes(art):
    rows = artwork(art)
    images = [(4, image(rows, 4, STANDARD_16)), (8, image(rows, 8, palette_256(rows)))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for bits, data in images:
        colour_count = 16 if bits == 4 else 0  # 0 means 256 or more
        out += struct.pack("<BBBBHHII", SIZE, SIZE, colour_count, 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main(argv):
    check = "--check" in argv
    folders = [a for a in argv if a != "--check"]
    folder = folders[0] if folders else os.path.dirname(os.path.abspath(__file__))
    stale = 0
    for name, art in ICONS:
        path = os.path.join(folder, name)
        data = ico_bytes(art)
        if check:
            with open(path, "rb") as f:
                if f.read() != data:
                    print(f"{path} is out of date: run res/make_ico.py", file=sys.stderr)
                    stale += 1
        else:
            with open(path, "wb") as f:
                f.write(data)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
