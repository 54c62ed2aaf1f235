#!/usr/bin/env bash
# The launcher's "Open as folder": zem-open-folder mounts an archive under
# $XDG_RUNTIME_DIR/zem/NAME and gives that folder to xdg-open (here a stand-in that records it);
# run again it shows the same mount, another archive of that name goes to "NAME (2)", and a
# damaged archive is refused with zem's message, nothing mounted.
# Usage: open_folder_test.sh SCRIPT ZEM ARCHIVE
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
need fusermount3 findmnt
script=${1:?usage: open_folder_test.sh SCRIPT ZEM ARCHIVE} zem=${2:?} archive=${3:?}
if ! [ -r /dev/fuse ] || ! [ -w /dev/fuse ]; then
  [ "${CI:-}" = true ] && fail "/dev/fuse can't be used, so this can't run in CI"
  echo "SKIP: /dev/fuse can't be used here" >&2
  exit 77
fi
scratch=$(mktemp -d)
trap 'for m in "$scratch"/run/zem/*; do fusermount3 -u -z "$m" 2>/dev/null || true; done; rm -rf "$scratch"' EXIT
mkdir -p "$scratch/bin" "$scratch/run" "$scratch/a b" "$scratch/c"
ln -s "$zem" "$scratch/bin/zem"
printf '#!/bin/sh\nprintf "%%s\\n" "$1" >>"$OPENED"\n' >"$scratch/bin/xdg-open"
chmod +x "$scratch/bin/xdg-open"
export PATH="$scratch/bin:$PATH" XDG_RUNTIME_DIR=$scratch/run OPENED=$scratch/opened
unset DISPLAY WAYLAND_DISPLAY
cp "$archive" "$scratch/a b/Tree.ZEM"
cp "$archive" "$scratch/c/Tree.zem"
head -c 30 "$archive" >"$scratch/broken.zem"

folder=$scratch/run/zem/Tree
"$script" "$scratch/a b/Tree.ZEM" && "$script" "$scratch/a b/Tree.ZEM" && "$script" "$scratch/c/Tree.zem" ||
  fail "a run failed"
[ "$(cat "$scratch/opened")" = "$folder"$'\n'"$folder"$'\n'"$folder (2)" ] ||
  fail "xdg-open got: $(cat "$scratch/opened")"
[ "$(findmnt -n -o SOURCE --mountpoint "$folder")" = "$scratch/a b/Tree.ZEM" ] || fail "not mounted once at $folder"
[ "$(findmnt -n -o SOURCE --mountpoint "$folder (2)")" = "$scratch/c/Tree.zem" ] || fail "not mounted at $folder (2)"
"$zem" extract "$archive" "$scratch/out" && diff -r "$scratch/out" "$folder" || fail "the mount differs"

if message=$("$script" "$scratch/broken.zem" 2>&1); then fail "a damaged archive was opened"; fi
[[ "$message" == "zem-open-folder: zem: $scratch/broken.zem: "* ]] || fail "message: $message"
[ "$(wc -l <"$scratch/opened")" = 3 ] || fail "xdg-open ran for the damaged archive"
! [ -e "$scratch/run/zem/broken" ] || fail "the damaged archive left its folder"
echo "open as folder ok"
