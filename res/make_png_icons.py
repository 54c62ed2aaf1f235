#!/usr/bin/env python3
"""Writes the ZEM Builder's PNG icons (32, 48 and 256 px, RGBA) from the shared artwork in
icon_art.py, with the standard library only: the program's and the archive type's.

Usage: make_png_icons.py [OUTPUT_FOLDER]   (default: the icons folder beside this script)
Writes zem-builder-SIZE.png and application-x-zem-SIZE.png for each size.
"""

import os
import struct
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import icon_art  # noqa: E402

SIZES = (32, 48, 256)
# Each icon's file name before "-SIZE.png", and its artwork.
ICONS = (("zem-builder", icon_art.colour_at), ("application-x-zem", icon_art.archive_colour_at))


def _chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def rgba_rows(size, art):
    """The image as rows of (r, g, b, a) tuples, top row first."""
    return [[icon_art.pixel(x, y, size, art) for x in range(size)] for y in range(size)]


def png_bytes(rows):
    """A PNG file: 8-bit RGBA, not interlaced, every row with filter type 0 (none)."""
    height, width = len(rows), len(rows[0])
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for pixel in row:
            raw.extend(pixel)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header)
            + _chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + _chunk(b"IEND", b""))


def main(argv):
    folder = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                        "icons")
    os.makedirs(folder, exist_ok=True)
    for name, art in ICONS:
        for size in SIZES:
            path = os.path.join(folder, "%s-%d.png" % (name, size))
            with open(path, "wb") as out:
                out.write(png_bytes(rgba_rows(size, art)))
            print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
