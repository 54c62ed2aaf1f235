#!/usr/bin/env python3
"""Prints what a Windows shortcut (.lnk) starts, one "field=value" line each: target (the local
path it points to), arguments, working_dir, icon. A field the shortcut doesn't have is empty.
Usage: shell_link.py FILE.lnk"""
import struct
import sys

HAS_ID_LIST, HAS_LINK_INFO, HAS_NAME, HAS_RELATIVE_PATH = 0x1, 0x2, 0x4, 0x8
HAS_WORKING_DIR, HAS_ARGUMENTS, HAS_ICON_LOCATION, IS_UNICODE = 0x10, 0x20, 0x40, 0x80
HEADER_SIZE = 0x4C
LINK_CLSID = bytes.fromhex("0114020000000000c000000000000046")


def c_string(data, start, wide):
    if wide:
        end = start
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[start:end].decode("utf-16-le")
    return data[start:data.index(b"\0", start)].decode("cp1252")


def read(data):
    if len(data) < HEADER_SIZE or struct.unpack_from("<I", data, 0)[0] != HEADER_SIZE \
            or data[4:20] != LINK_CLSID:
        raise ValueError("not a shell link")
    flags = struct.unpack_from("<I", data, 0x14)[0]
    at = HEADER_SIZE
    if flags & HAS_ID_LIST:
        at += 2 + struct.unpack_from("<H", data, at)[0]
    fields = {"target": "", "arguments": "", "working_dir": "", "icon": ""}
    if flags & HAS_LINK_INFO:
        size, header_size, _, _, base_offset = struct.unpack_from("<5I", data, at)
        fields["target"] = c_string(data, at + base_offset, False)
        if header_size >= 0x24:  # the wide copy of the path, when there is one
            wide_offset = struct.unpack_from("<I", data, at + 0x1C)[0]
            fields["target"] = c_string(data, at + wide_offset, True)
        at += size
    unicode = bool(flags & IS_UNICODE)
    for flag, name in ((HAS_NAME, None), (HAS_RELATIVE_PATH, None),
                       (HAS_WORKING_DIR, "working_dir"), (HAS_ARGUMENTS, "arguments"),
                       (HAS_ICON_LOCATION, "icon")):
        if flags & flag:
            count = struct.unpack_from("<H", data, at)[0]
            width = 2 if unicode else 1
            text = data[at + 2:at + 2 + count * width]
            if name:  # Wine counts the terminating NUL, Windows does not
                fields[name] = text.decode("utf-16-le" if unicode else "cp1252").rstrip("\0")
            at += 2 + count * width
    return fields


def main():
    with open(sys.argv[1], "rb") as f:
        fields = read(f.read())
    for name, value in fields.items():
        print(f"{name}={value}")


if __name__ == "__main__":
    main()
