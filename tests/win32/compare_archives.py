#!/usr/bin/env python3
"""Compares two .zem archives: the same records (name, data, lengths, the eight time bytes) in
any order, and byte for byte when both list the files in the same order.

Usage: compare_archives.py EXPECTED ACTUAL    (exit code 0 when they match)
"""

import struct
import sys


def records(path):
    data = open(path, "rb").read()
    zero0, zero1, zero2, count, records_length, index_offset, fixed = struct.unpack_from(
        "<7I", data, 0)
    assert (zero0, zero1, zero2, fixed) == (0, 0, 0, 8), f"{path}: bad header"
    start = index_offset + 4 * count
    assert start + records_length == len(data), f"{path}: records do not end the file"
    out = []
    for i in range(count):
        (slot,) = struct.unpack_from("<I", data, index_offset + 4 * i)
        at = start + slot
        offset, length1, length2 = struct.unpack_from("<3I", data, at)
        assert length1 == length2, f"{path}: record {i} lengths differ"
        time = data[at + 12:at + 20]
        end = data.index(b"\0", at + 20)
        name = data[at + 20:end]
        out.append((name, data[offset:offset + length1], time))
    return data, out


def main(expected_path, actual_path):
    expected_bytes, expected = records(expected_path)
    actual_bytes, actual = records(actual_path)
    for name, _, time in expected:
        print(f"  {name.decode('latin-1'):24} time {time.hex(' ')}")
    if sorted(expected) != sorted(actual):
        print("records differ:")
        print("  expected:", sorted((n, len(d), t.hex()) for n, d, t in expected))
        print("  actual:  ", sorted((n, len(d), t.hex()) for n, d, t in actual))
        return 1
    same_order = [r[0] for r in expected] == [r[0] for r in actual]
    if same_order and expected_bytes != actual_bytes:
        print("same order but the archives differ byte for byte")
        return 1
    print(f"{len(expected)} records match" +
          (", archives byte-identical" if same_order else " (listed in another order)"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
