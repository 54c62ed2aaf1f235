#!/usr/bin/env python3
"""Compares two exports of a registry hive (`wine reg export`): prints every key added or
removed and every value added, removed or changed, and exits 1 if there is any.
Usage: registry_diff.py BEFORE.reg AFTER.reg"""
import sys

# The device classes, which Wine rewrites each time its server starts: the display adapter's
# driver date, the classes' names. Nothing a setup program writes.
VOLATILE = ("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\",)


def parse(path):
    with open(path, "rb") as f:
        raw = f.read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode()
    keys = {}
    values = None
    pending = ""
    for line in text.splitlines():
        if pending:  # a value continued on the next line ends its line with a backslash
            line = pending + line.strip()
            pending = ""
        if line.endswith("\\") and not line.startswith("["):
            pending = line[:-1]
            continue
        if line.startswith("[") and line.endswith("]"):
            values = keys.setdefault(line[1:-1], {})
        elif values is not None and line and not line.startswith(";"):
            name, sep, value = split_value(line)
            if sep:
                values[name] = value
    return keys


def split_value(line):
    """Splits `"name"=value` or `@=value` at the = after the name, quotes and escapes kept."""
    if line.startswith("@="):
        return "@", "=", line[2:]
    if not line.startswith('"'):
        return line, "", ""
    at = 1
    while at < len(line) and line[at] != '"':
        at += 2 if line[at] == "\\" else 1
    return line[:at + 1], line[at + 1:at + 2], line[at + 2:]


def volatile(key):
    return any((key + "\\").startswith(prefix) for prefix in VOLATILE)


def differences(before, after):
    lines = []
    for key in sorted(set(before) | set(after)):
        if volatile(key):
            continue
        if key not in after:
            lines.append(f"removed key [{key}]")
        elif key not in before:
            lines.append(f"added key [{key}]")
            lines.extend(f"  {name}={value}" for name, value in sorted(after[key].items()))
        else:
            old, new = before[key], after[key]
            for name in sorted(set(old) | set(new)):
                if old.get(name) != new.get(name):
                    lines.append(f"[{key}] {name}: {old.get(name, '(none)')} -> "
                                 f"{new.get(name, '(none)')}")
    return lines


def main():
    lines = differences(parse(sys.argv[1]), parse(sys.argv[2]))
    for line in lines:
        print(line)
    sys.exit(1 if lines else 0)


if __name__ == "__main__":
    main()
