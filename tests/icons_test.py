#!/usr/bin/env python3
"""The committed PNG icons, the program's and the archive type's, hold exactly their shared artwork
at 32, 48 and 256 px: decodes each file (signature, chunk CRCs, RGBA header, all five row
filters) and compares every pixel with icon_art.pixel(); the two differ. Usage: icons_test.py
RES_FOLDER"""

import os
import struct
import sys
import zlib


def decode_png(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG signature")
    pos, header, idat = 8, None, b""
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            raise ValueError("bad CRC in %r" % kind)
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if (depth, colour, interlace) != (8, 6, 0):
        raise ValueError("expected 8-bit RGBA, not interlaced: %r" % (header,))
    raw, stride, rows, prev = zlib.decompress(idat), width * 4, [], bytearray(width * 4)
    for y in range(height):
        line = raw[y * (stride + 1):(y + 1) * (stride + 1)]
        kind, cur = line[0], bytearray(line[1:])
        for i in range(stride):
            a = cur[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if kind == 1:
                cur[i] = (cur[i] + a) & 0xFF
            elif kind == 2:
                cur[i] = (cur[i] + b) & 0xFF
            elif kind == 3:
                cur[i] = (cur[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                cur[i] = (cur[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append([tuple(cur[x * 4:x * 4 + 4]) for x in range(width)])
        prev = cur
    return width, height, rows


def main(res):
    sys.path.insert(0, res)
    import icon_art
    for name, art in (("zem-builder", icon_art.colour_at),
                      ("application-x-zem", icon_art.archive_colour_at)):
        for size in (32, 48, 256):
            path = os.path.join(res, "icons", "%s-%d.png" % (name, size))
            with open(path, "rb") as f:
                width, height, rows = decode_png(f.read())
            if (width, height) != (size, size):
                raise SystemExit("FAIL: %s is %dx%d" % (path, width, height))
            for y in range(size):
                for x in range(size):
                    if rows[y][x] != icon_art.pixel(x, y, size, art):
                        raise SystemExit("FAIL: %s differs from the artwork at (%d, %d); rerun "
                                         "res/make_png_icons.py" % (path, x, y))
            print("%s ok" % path)
    # An archive must not look like the folder it was made from.
    different = sum(icon_art.pixel(x, y, 32) != icon_art.pixel(x, y, 32, icon_art.archive_colour_at)
                    for y in range(32) for x in range(32))
    if different < 32 * 32 // 4:
        raise SystemExit("FAIL: the archive's icon differs from the program's in only %d pixels"
                         % different)


if __name__ == "__main__":
    main(sys.argv[1])
