#!/usr/bin/env bash
# Builds zem-builder and zem optimised (in build/bench) and times them against tar -cf, tar -xf
# and a plain copy on corpora made in a temporary folder, removed afterwards; zem create too, on
# the small corpus. Options go to bench/bench.py:
#   bench/run.sh [--runs N] [--corpora small,large,wide,extract] [--dir PARENT]
#                [--also NAME=COMMAND] [--also-zem NAME=COMMAND] [--dearer MICROSECONDS]
# --dearer 1.3 times every command a second time, interleaved with the first, with each of its
# system calls made 1.3 µs dearer (a seccomp filter in the way, installed by bench/dear_calls.cpp),
# as on a machine whose calls cost that much more.
# The mount corpora (--corpora mount-small,mount-large,mount-wide) pack the same trees, mount the
# archive with zem mount and time tar -cf, find and cat on the mount against the source folder;
# they need FUSE (/dev/fuse and fusermount3).
# Needs python3, GNU tar, find, xargs, cat, sync and dd; GNU time (package time) gives the peak RSS
# and strace the time spent in fsync. Run as root, it installs those two when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
if { [ ! -x /usr/bin/time ] || ! command -v strace >/dev/null; } && [ "$(id -u)" = 0 ]; then
  scripts/install-deps.sh time strace
fi
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/bench -j"$(nproc 2>/dev/null || echo 2)" --target zem-builder zem >/dev/null
"${CXX:-c++}" -O2 -Wall -Wextra -Werror -o build/bench/dear-calls bench/dear_calls.cpp
exec python3 bench/bench.py --exe build/bench/zem-builder --zem build/bench/zem \
  --launcher build/bench/dear-calls "$@"
