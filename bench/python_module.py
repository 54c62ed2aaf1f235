#!/usr/bin/env python3
"""Times the zem Python module against the zem program on the benchmark's corpora: reading every
file of the small corpus (20,000 files) through ZemFile.read against `zem cat` of the same
files, and listing the wide corpus (100,000 files) through ZemFile.infolist and `python3 -m zem
list` against `zem list`.

Each command runs in a process of its own, interleaved (one run of each in turn) after an untimed
warm-up round, so that the page cache is hot and a noisy neighbour hits all of them alike; the
median wall time is printed. Standard library only.

    bench/python_module.py --zem build/zem --library build [--runs 5] [--dir PARENT]
        [--python INTERPRETER] [--every-name]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpus  # noqa: E402

READ_ALL = """
import sys, time, zem
start = time.perf_counter()
with zem.ZemFile(sys.argv[1]) as archive:
    total = sum(len(archive.read(name)) for name in archive.namelist())
print(total, time.perf_counter() - start)
"""

LIST_ALL = """
import sys, time, zem
start = time.perf_counter()
with zem.ZemFile(sys.argv[1]) as archive:
    infos = archive.infolist()
print(len(infos), time.perf_counter() - start)
"""


def wall(argv, env, stdout=subprocess.DEVNULL):
    start = time.perf_counter()
    subprocess.run(argv, env=env, stdout=stdout, check=True)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--zem", required=True, help="the zem program")
    parser.add_argument("--library", required=True, help="the folder that holds libzem.so.1")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--dir", default=None, help="where to make the corpora")
    parser.add_argument("--python", default=sys.executable,
                        help="the interpreter to time (default: this one)")
    parser.add_argument("--every-name", action="store_true",
                        help="also time zem cat with all 20,000 names on its command line once")
    args = parser.parse_args()
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.abspath(args.library),
               PYTHONPATH=os.path.join(os.path.dirname(HERE), "python"))
    zem = os.path.abspath(args.zem)
    scratch = tempfile.mkdtemp(prefix="zem-python-bench-", dir=args.dir)
    try:
        small, wide = os.path.join(scratch, "small"), os.path.join(scratch, "wide")
        corpus.make_small(small)
        corpus.make_wide(wide)
        for folder in (small, wide):
            subprocess.run([zem, "create", "-o", folder + ".zem", folder], check=True)
        small_zem, wide_zem = small + ".zem", wide + ".zem"
        py = args.python
        commands = {
            "zem cat ARCHIVE '*' (every file)": [zem, "cat", small_zem, "*"],
            "python: read() every file": [py, "-c", READ_ALL, small_zem],
            "zem list (100,000 files)": [zem, "list", wide_zem],
            "python -m zem list": [py, "-m", "zem", "list", wide_zem],
            "python: infolist() (100,000 files)": [py, "-c", LIST_ALL, wide_zem],
            "python: start-up and import zem": [py, "-c", "import zem"],
        }
        times = {name: [] for name in commands}
        for round_number in range(args.runs + 1):
            for name, argv in commands.items():
                seconds = wall(argv, env)
                if round_number > 0:
                    times[name].append(seconds)
        # Inside the process: the time the calls take, without Python's start-up.
        inner = {}
        for label, script, archive in (("read() every file, in process", READ_ALL, small_zem),
                                       ("infolist(), in process", LIST_ALL, wide_zem)):
            runs = []
            for _ in range(args.runs):
                out = subprocess.run([py, "-c", script, archive], env=env, check=True,
                                     capture_output=True, text=True).stdout.split()
                runs.append(float(out[1]))
            inner[label] = statistics.median(runs)
        print("median of %d runs, wall seconds" % args.runs)
        for name, values in times.items():
            print("  %-40s %.3f" % (name, statistics.median(values)))
        for name, value in inner.items():
            print("  %-40s %.3f" % (name, value))
        ratio = (statistics.median(times["python: read() every file"]) /
                 statistics.median(times["zem cat ARCHIVE '*' (every file)"]))
        print("  read every file, python / zem cat:       %.2f" % ratio)
        if args.every_name:
            names = subprocess.run([py, "-c", "import sys, zem; print('\\n'.join("
                                    "zem.ZemFile(sys.argv[1]).namelist()))", small_zem],
                                   env=env, check=True, capture_output=True,
                                   text=True).stdout.splitlines()
            seconds = wall([zem, "cat", small_zem] + names, env)
            print("  %-40s %.3f" % ("zem cat ARCHIVE NAME... (20,000 names)", seconds))
    finally:
        shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
