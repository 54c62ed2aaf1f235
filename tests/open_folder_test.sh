#!/usr/bin/env bash
# The launcher's "Open as folder": zem-open-folder mounts an archive under
# $XDG_RUNTIME_DIR/zem/NAME and hands that folder to xdg-open (here a stand-in that records it);
# a second run shows the same mount again, another archive of the same name gets "NAME (2)", and
# a damaged archive is refused with zem's message and nothing mounted.
# Usage: open_folder_test.sh SCRIPT ZEM ARCHIVE
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
need fusermount3 findmnt diff
script=${1:?usage: open_folder_test.sh SCRIPT ZEM ARCHIVE}
zem=${2:?}
archive=${3:?}
if ! [ -r /dev/fuse ] || ! [ -w /dev/fuse ]; then
  [ "${CI:-}" = true ] && fail "/dev/fuse can't be used, so this can't run in CI"
  echo "SKIP: /dev/fuse can't be used here" >&2
  exit 77
fi

scratch=$(mktemp -d)
run=$scratch/run
cleanup() {
  for folder in "$run"/zem/*; do
    mountpoint -q "$folder" 2>/dev/null && fusermount3 -u -z "$folder"
  done
  rm -rf "$scratch"
}
trap cleanup EXIT
mkdir -p "$scratch/bin" "$run" "$scratch/a b" "$scratch/other"
ln -s "$zem" "$scratch/bin/zem"
cat >"$scratch/bin/xdg-open" <<'OPEN'
#!/bin/sh
printf '%s\n' "$1" >>"$OPENED"
OPEN
chmod +x "$scratch/bin/xdg-open"
export PATH="$scratch/bin:$PATH" XDG_RUNTIME_DIR=$run OPENED=$scratch/opened
unset DISPLAY WAYLAND_DISPLAY
cp "$archive" "$scratch/a b/Tree Archive.ZEM"
cp "$archive" "$scratch/other/Tree Archive.zem"

"$script" "$scratch/a b/Tree Archive.ZEM" || fail "the first run failed"
folder="$run/zem/Tree Archive"
[ "$(cat "$scratch/opened")" = "$folder" ] || fail "xdg-open got: $(cat "$scratch/opened")"
[ "$(findmnt -n -o FSTYPE --mountpoint "$folder")" = fuse.zem ] || fail "nothing mounted at $folder"
"$zem" extract "$archive" "$scratch/extracted" || fail "zem extract failed"
diff -r "$scratch/extracted" "$folder" || fail "the mounted folder differs from the extracted one"

# Again: the same mount is shown, none is added.
"$script" "$scratch/a b/Tree Archive.ZEM" || fail "the second run failed"
[ "$(sed -n 2p "$scratch/opened")" = "$folder" ] || fail "second xdg-open got: $(sed -n 2p "$scratch/opened")"
[ "$(findmnt -n --mountpoint "$folder" | wc -l)" = 1 ] || fail "mounted twice at $folder"

# Another archive of the same name.
"$script" "$scratch/other/Tree Archive.zem" || fail "the run on the other archive failed"
[ "$(sed -n 3p "$scratch/opened")" = "$folder (2)" ] || fail "third xdg-open got: $(sed -n 3p "$scratch/opened")"
[ "$(findmnt -n -o SOURCE --mountpoint "$folder (2)")" = "$scratch/other/Tree Archive.zem" ] ||
  fail "the other archive is not the one mounted at $folder (2)"

# A damaged archive: zem's message, nothing mounted, xdg-open not run.
head -c 30 "$archive" >"$scratch/broken.zem"
if message=$("$script" "$scratch/broken.zem" 2>&1); then fail "a damaged archive was opened"; fi
[[ "$message" == "zem-open-folder: zem: $scratch/broken.zem: "* ]] || fail "message: $message"
! mountpoint -q "$run/zem/broken" || fail "the damaged archive was mounted"
[ "$(wc -l <"$scratch/opened")" = 3 ] || fail "xdg-open ran for the damaged archive"

"$zem" unmount "$folder" || fail "zem unmount failed"
! mountpoint -q "$folder" || fail "still mounted after zem unmount"
echo "open as folder ok"
