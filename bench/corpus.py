"""Builds the benchmark's folders: deterministic names, sizes and contents."""

import os
import random

KIB = 1024
MIB = 1024 * KIB


def make_small(root, files=20000, seed=1, folder_count=200):
    """20,000 files of 0-8 KiB in 200 folders three levels deep (5 x 5 x 8), about 80 MB."""
    rng = random.Random(seed)
    block = rng.randbytes(8 * KIB)
    folders = [os.path.join(root, "a%d" % a, "b%d" % b, "c%d" % c)
               for a in range(5) for b in range(5) for c in range(8)][:folder_count]
    for folder in folders:
        os.makedirs(folder)
    per_folder = files // len(folders)
    for i, folder in enumerate(folders):
        for j in range(per_folder):
            size = rng.randint(0, 8 * KIB)
            with open(os.path.join(folder, "file%05d.bin" % (i * per_folder + j)), "wb") as f:
                f.write(block[:size])


def make_large(root, files=4, size=256 * MIB, seed=2):
    """4 files of 256 MiB, real data blocks (no holes)."""
    rng = random.Random(seed)
    os.makedirs(root)
    for i in range(files):
        block = rng.randbytes(MIB)
        with open(os.path.join(root, "large%d.bin" % i), "wb") as f:
            for _ in range(size // MIB):
                f.write(block)


def make_extract(root):
    """2,000 files of the small corpus: its first 20 folders."""
    make_small(root, files=2000, folder_count=20)


def make_million(root):
    """1,000,000 empty files in 10,000 folders."""
    make_wide(root, files=1000000, folders_across=100)


def make_wide(root, files=100000, folders_across=10):
    """100,000 empty files in 1,000 folders (10 x 100)."""
    folders = [os.path.join(root, "d%d" % a, "e%d" % b)
               for a in range(folders_across) for b in range(100)]
    per_folder = files // len(folders)
    for i, folder in enumerate(folders):
        os.makedirs(folder)
        for j in range(per_folder):
            os.close(os.open(os.path.join(folder, "f%06d" % (i * per_folder + j)),
                             os.O_CREAT | os.O_WRONLY, 0o644))
