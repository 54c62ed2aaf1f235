#!/usr/bin/env bash
# "Open as folder": zem-open-folder mounts an archive under $XDG_RUNTIME_DIR/zem/NAME and gives
# that folder to xdg-open (here a stand-in that records it); run again it shows the same mount,
# another archive of that name goes to "NAME (2)", a folder of that name it did not make is left
# alone, a damaged archive is refused with zem's message, nothing mounted, and a folder xdg-open
# can't show is unmounted again. zem unmount removes the folders it made. As root, the same runs
# as the user nobody too, with /dev/fuse opened to everyone for the while, as a desktop's udev
# rule has it. --help and --version answer as the other programs do.
# Usage: open_folder_test.sh SCRIPT ZEM ARCHIVE VERSION
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
need fusermount3 findmnt
script=${1:?usage: open_folder_test.sh SCRIPT ZEM ARCHIVE VERSION} zem=${2:?} archive=${3:?}
version=${4:?}

# The command line, before anything is mounted: CODE|EXPECTED OUTPUT|ARGUMENTS (tab-separated).
while IFS='|' read -r code expected args; do
  IFS=$'\t' read -r -a argv <<<"$args"
  code_now=0
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR=/nonexistent "$script" "${argv[@]}" 2>&1) ||
    code_now=$?
  [ "$code_now" = "$code" ] || fail "zem-open-folder ${argv[*]}: exit code $code_now: $out"
  [[ "$out" == $expected ]] || fail "zem-open-folder ${argv[*]}: $out"
done <<EOF
0|Usage: zem-open-folder ARCHIVE*  --version  show the version and exit*|--help
0|zem-open-folder $version|--version
2|zem-open-folder: usage: zem-open-folder ARCHIVE (see zem-open-folder --help)|
2|zem-open-folder: usage: zem-open-folder ARCHIVE (see zem-open-folder --help)|a.zem	b.zem
1|zem-open-folder: cannot find "--help"|--	--help
1|zem-open-folder: cannot find "./--version"|./--version
EOF

if ! [ -r /dev/fuse ] || ! [ -w /dev/fuse ]; then
  [ "${CI:-}" = true ] && fail "/dev/fuse can't be used, so this can't run in CI"
  echo "SKIP: /dev/fuse can't be used here" >&2
  exit 77
fi
scratch=$(mktemp -d)
fuse_mode=
cleanup() {
  for m in "$scratch"/run/zem/* "$scratch"/nobody/run/zem/*; do
    fusermount3 -u -z "$m" 2>/dev/null || true
  done
  if [ -n "$fuse_mode" ]; then chmod "$fuse_mode" /dev/fuse; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
# Everything the runs use, in a folder that any user may read: the build may be in a private one.
chmod 755 "$scratch"
mkdir -p "$scratch/bin" "$scratch/run" "$scratch/a b" "$scratch/c"
cp "$zem" "$scratch/bin/zem"
cp "$script" "$scratch/bin/zem-open-folder"
# xdg-open records the folder, or fails as it does without a desktop when FAIL_OPEN is set.
cat >"$scratch/bin/xdg-open" <<'EOF'
#!/bin/sh
[ -z "${FAIL_OPEN:-}" ] || exit 3
printf '%s\n' "$1" >>"$OPENED"
EOF
chmod 755 "$scratch"/bin/*
export PATH="$scratch/bin:$PATH" XDG_RUNTIME_DIR=$scratch/run OPENED=$scratch/opened
unset DISPLAY WAYLAND_DISPLAY
cp "$archive" "$scratch/a b/Tree.ZEM"
cp "$archive" "$scratch/c/Tree.zem"
head -c 30 "$archive" >"$scratch/broken.zem"
"$zem" extract "$archive" "$scratch/out"

folder=$scratch/run/zem/Tree
open_folder() { "$scratch/bin/zem-open-folder" "$@"; }
open_folder "$scratch/a b/Tree.ZEM" && open_folder "$scratch/a b/Tree.ZEM" &&
  open_folder "$scratch/c/Tree.zem" || fail "a run failed"
[ "$(cat "$scratch/opened")" = "$folder"$'\n'"$folder"$'\n'"$folder (2)" ] ||
  fail "xdg-open got: $(cat "$scratch/opened")"
[ "$(findmnt -n -o SOURCE --mountpoint "$folder")" = "$scratch/a b/Tree.ZEM" ] || fail "not mounted once at $folder"
[ "$(findmnt -n -o SOURCE --mountpoint "$folder (2)")" = "$scratch/c/Tree.zem" ] || fail "not mounted at $folder (2)"
diff -r "$scratch/out" "$folder" || fail "the mount differs"

# zem unmount takes the folder away; a mount ended otherwise leaves it, and the next run uses it.
zem unmount "$folder (2)" && ! [ -e "$folder (2)" ] || fail "zem unmount left $folder (2)"
fusermount3 -u "$folder"
: >"$scratch/opened"
open_folder "$scratch/c/Tree.zem" || fail "a run after fusermount3 -u failed"
[ "$(cat "$scratch/opened")" = "$folder" ] || fail "xdg-open got: $(cat "$scratch/opened")"
zem unmount "$folder" && ! [ -e "$folder" ] || fail "zem unmount left $folder"
# A folder of that name that the user made is no place to mount.
mkdir "$folder"
open_folder "$scratch/c/Tree.zem" || fail "a run beside the user's folder failed"
[ -z "$(findmnt -n --mountpoint "$folder")" ] && [ -n "$(findmnt -n --mountpoint "$folder (2)")" ] ||
  fail "mounted on the user's folder"
zem unmount "$folder (2)" && [ -d "$folder" ] && rmdir "$folder"

# Refused or not shown: nothing stays mounted, no folder is left.
: >"$scratch/opened"
if message=$(open_folder "$scratch/broken.zem" 2>&1); then fail "a damaged archive was opened"; fi
[[ "$message" == "zem-open-folder: zem: $scratch/broken.zem: "* ]] || fail "message: $message"
if message=$(FAIL_OPEN=1 open_folder "$scratch/c/Tree.zem" 2>&1); then fail "xdg-open's failure was missed"; fi
[ "$message" = "zem-open-folder: cannot show the folder \"$folder\": xdg-open failed" ] ||
  fail "message: $message"
[ ! -s "$scratch/opened" ] || fail "xdg-open showed: $(cat "$scratch/opened")"
[ -z "$(ls -A "$scratch/run/zem")" ] || fail "left in $scratch/run/zem: $(ls -A "$scratch/run/zem")"
[ -z "$(findmnt -n -t fuse.zem -o TARGET | grep -F "$scratch" || true)" ] || fail "a mount stayed"

# As a user other than root, with /dev/fuse open to all, as desktops have it. Tests that do this
# at the same time (another build's, say) take turns: one's restoring the mode must not cut
# another's short.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null && command -v flock >/dev/null; then
  exec 9>/tmp/zem-dev-fuse.lock
  flock 9
  fuse_mode=$(stat -c %a /dev/fuse)
  chmod 0666 /dev/fuse
  mkdir -p "$scratch/nobody/run" "$scratch/nobody/files"
  cp "$archive" "$scratch/nobody/files/Tree.zem"
  : >"$scratch/nobody/opened"
  chown -R nobody "$scratch/nobody"
  as_nobody() {
    setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups --reset-env -- \
      env PATH="$PATH" XDG_RUNTIME_DIR="$scratch/nobody/run" OPENED="$scratch/nobody/opened" "$@"
  }
  mine=$scratch/nobody/run/zem/Tree
  as_nobody zem-open-folder "$scratch/nobody/files/Tree.zem" || fail "nobody could not open the archive"
  [ "$(cat "$scratch/nobody/opened")" = "$mine" ] || fail "xdg-open got: $(cat "$scratch/nobody/opened")"
  as_nobody diff -r "$scratch/out" "$mine" || fail "nobody's mount differs"
  as_nobody zem unmount "$mine" || fail "nobody could not unmount"
  ! [ -e "$mine" ] || fail "nobody's unmount left $mine"
  chmod "$fuse_mode" /dev/fuse
  fuse_mode=
  flock -u 9
  echo "as nobody ok"
fi
echo "open as folder ok"
