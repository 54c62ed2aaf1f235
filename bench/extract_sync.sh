#!/usr/bin/env bash
# What extraction's syncs cost: zem extract against tar -xf and tar -xf followed by sync -f on the
# destination (one syncfs: what tar's files need to survive a power cut), into a folder that is
# empty and over one that holds every file already. The corpus: 2,000 files of
# 0-8 KiB in the small corpus's 200 folders, made in a temporary folder under PARENT.
#   bench/extract_sync.sh [--runs N] [--dir PARENT] [--zem EXE] [--also EXE]
# --zem: the zem to time (default: build/bench/zem, built first); --also: another build of zem
# timed alongside, as "other zem extract --force".
# Prints the median wall time of each in milliseconds, over N runs (default 5). Needs python3, GNU tar and sync.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=5 parent=${TMPDIR:-/tmp} zem= also= used=0
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --dir) parent=$2; shift 2 ;;
    --zem) zem=$(realpath "$2"); shift 2 ;;
    --also) also=$(realpath "$2"); shift 2 ;;
    *) echo "usage: bench/extract_sync.sh [--runs N] [--dir PARENT] [--zem EXE] [--also EXE]" >&2
       exit 2 ;;
  esac
done
if [ -z "$zem" ]; then
  cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build build/bench -j"$(nproc 2>/dev/null || echo 2)" --target zem >/dev/null
  zem=$PWD/build/bench/zem
fi
work=$(mktemp -d "$parent/zem-extract-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 -c 'import sys; sys.path.insert(0, "bench"); import corpus; corpus.make_small(sys.argv[1], files=2000)' "$work/src"
"$zem" create -o "$work/src.zem" "$work/src"
tar -cf "$work/src.tar" -C "$work/src" .
sync -f "$work"

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
timed() {  # prints the wall time of the command in milliseconds
  local start
  start=$(date +%s%N)
  "$@" >/dev/null
  echo $(( ($(date +%s%N) - start) / 1000000 ))
}
# Each run times every tool in turn, so that a change in the machine's load meets them all.
zem_x() { "$zem" extract --force "$work/src.zem" "$work/dest"; }
tar_x() { tar -xf "$work/src.tar" -C "$work/dest"; }
tar_sync() { tar_x && sync -f "$work/dest"; }
labels=("zem extract --force" "tar -xf" "tar -xf && sync -f DEST")
tools=(zem_x tar_x tar_sync)
also_x() { "$also" extract --force "$work/src.zem" "$work/dest"; }
if [ -n "$also" ]; then
  labels+=("other zem extract --force")
  tools+=(also_x)
fi
for mode in fresh existing; do
  declare -A times=()
  for _ in $(seq "$runs"); do
    for i in "${!tools[@]}"; do
      # Moved aside, not deleted: on ext4 without a journal, inodes freed in the last half
      # minute are passed over one by one when new ones are taken, which would slow the next
      # tool's every file by what the one before it deleted.
      [ -d "$work/dest" ] && mv "$work/dest" "$work/used.$((++used))"
      mkdir "$work/dest"
      [ "$mode" = existing ] && tar_x
      sync -f "$work"
      times[$i]+="$(timed "${tools[$i]}") "
    done
  done
  for i in "${!tools[@]}"; do
    printf '%-26s %-9s %6s ms\n' "${labels[$i]}" $mode "$(printf '%s\n' ${times[$i]} | median)"
  done
  unset times
done
