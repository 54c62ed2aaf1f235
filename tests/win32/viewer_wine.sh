#!/usr/bin/env bash
# The archive viewer zem-viewer.exe under Wine on a virtual X display, driven by keys: its rows
# and status line are read back from its list and status controls by zem-viewer-probe.exe (as a
# screen reader reads them) and compared with what zem.exe lists; sorting by keys; Extract all and
# Extract selected through the folder picker and unpacking's questions, the files compared byte
# for byte; Enter opens a copy from the temporary folder, which goes when the viewer closes; a
# hostile archive is refused with the reader's message and nothing is shown. A screenshot of the
# window is kept in WORKDIR.
# Usage: viewer_wine.sh VIEWER_EXE PROBE_EXE ZEM_EXE WORKDIR   (WINEPREFIX set by CTest)
set -euo pipefail
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
probe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
zem=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
work=$4
here=$(cd "$(dirname "$0")" && pwd)
caption='ZEM Builder (by the ZEM Builder developers)'
: "${WINEPREFIX:?}"

fail() { echo "FAIL: $*" >&2; exit 1; }
source "$here/../x_display.sh"
source "$here/message_boxes.sh"
for tool in wine winepath Xvfb xdotool import identify python3; do
  command -v $tool >/dev/null || fail "$tool is missing (scripts/test-windows.sh installs it)"
done

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
xvfb_pid=
app_pid=
cleanup() {
  if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
start_display "$work"

pack=$work/pack
mkdir -p "$pack/sub/deeper"
printf 'hello' >"$pack/a.txt"
head -c 70001 /dev/urandom >"$pack/sub/b.bin"
: >"$pack/sub/deeper/empty"
printf 'summer' >"$pack/summer.txt"
touch -d '2004-07-15 12:00:01 UTC' "$pack/summer.txt"
win() { winepath -w "$1"; }
archive=$work/pack.zem
wine "$zem" create -o "$(win "$archive")" "$(win "$pack")" || fail "zem.exe create"
cp "$archive" "$work/before.zem"
# Copies left by viewers of earlier runs that were killed: the test looks for the new one.
find "$WINEPREFIX/drive_c/users" -path '*/Temp/zem-viewer.*' -prune -exec rm -r {} + 2>/dev/null || true

# The rows zem.exe lists, as the viewer shows them: name, size and time, by name.
expected=$(wine "$zem" list "$(win "$archive")" | tr -d '\r' |
           sed -E 's/^ *([0-9]+)  (.{19})  (.*)$/\3\t\1\t\2/' | LC_ALL=C sort)
status='status: 4 files, 70012 bytes'
by_size=$(sort -t$'\t' -k2,2n <<<"$expected")
by_size_down=$(sort -t$'\t' -k2,2nr <<<"$expected")

viewer=
title=
start_viewer() {  # arguments for the viewer; sets title to the window's expected title
  (cd "$work" && exec wine "$exe" "$@") &
  app_pid=$!
  box=
}
viewer_shown() { viewer=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -1); [ -n "$viewer" ]; }
keys() {  # keys for the viewer's window
  timeout 10 xdotool windowfocus --sync "$viewer" 2>/dev/null || true
  xdotool key --clearmodifiers "$@"
}
# press_until CHECK KEYS...: presses the keys in the viewer until CHECK (a command) succeeds. A key
# that found the window before it had the focus is lost; it is pressed again only after a long
# wait, so that a late one is not taken twice.
press_until() {
  local check=$1 attempt
  shift
  for attempt in 1 2 3; do
    keys "$@"
    wait_until 30 eval "$check" && return 0
    echo "nothing came of $* within 30 s (attempt $attempt)"
  done
  return 1
}
shown() { wine "$probe" rows "$title" 2>/dev/null | tr -d '\r'; }
shows() { [ "$(shown)" = "$1" ]; }
box_says() {  # the text of the open message box
  [ "$(wine "$probe" box "$caption" 2>/dev/null | tr -d '\r')" = "$1" ]
}
picker=
picker_shown() { picker=$(xdotool search --onlyvisible --name '^Extract to$' 2>/dev/null | head -1); [ -n "$picker" ]; }
# pick FOLDER KEYS...: opens the folder picker with the keys and answers it with FOLDER's path,
# typed into its name box.
pick() {
  local folder=$1
  shift
  press_until picker_shown "$@" || fail "no folder picker"
  wait_drawn "$picker" "$work/picker.png" || fail "the folder picker was never painted"
  timeout 10 xdotool windowfocus --sync "$picker" 2>/dev/null || true
  xdotool type --delay 20 "$(win "$folder")"
  xdotool key Return
}
pattern="^${caption//[()]/\\&}\$"

echo "== the rows and the status line, as the list shows them"
title='pack.zem - ZEM Viewer'
start_viewer "$(win "$archive")"
wait_until 120 viewer_shown || fail "no window titled $title"
wait_drawn "$viewer" "$work/viewer.png" || fail "the window was never painted"
wait_until 30 shows "$expected"$'\n'"$status" || fail "the viewer shows:
$(shown)
and zem.exe lists:
$expected"

echo "== sorted by size with Ctrl+F6, again the other way round, by name with Ctrl+F3"
press_until 'shows "$by_size"$'"'"'\n'"'"'"$status"' ctrl+F6 || fail "by size: $(shown)"
press_until 'shows "$by_size_down"$'"'"'\n'"'"'"$status"' ctrl+F6 ||
  fail "by size, descending: $(shown)"
press_until 'shows "$expected"$'"'"'\n'"'"'"$status"' ctrl+F3 || fail "by name: $(shown)"

echo "== Ctrl+A and Delete change nothing"
keys ctrl+a Delete
shows "$expected"$'\n'"$status" || fail "after Delete: $(shown)"
cmp "$work/before.zem" "$archive" || fail "the archive was changed"

echo "== Extract all (Ctrl+E) into a picked folder: the question, the files byte for byte"
mkdir "$work/all"
pick "$work/all" ctrl+e
next_box
box_says "Extracting 4 files from \"$(win "$archive")\" into \"$(win "$work/all")\". Continue?" ||
  fail "the question is not unpacking's"
answer Return
next_box
box_says "ZEM extraction complete." || fail "no completion message"
answer Return
diff -r "$pack" "$work/all" || fail "the extracted files differ"

echo "== again, with a file already there: the question about replacing, then replaced"
printf 'changed' >"$work/all/a.txt"
pick "$work/all" ctrl+e
next_box
answer Return
next_box
box_says "Folder \"$(win "$work/all")\" already exists. Files in it with the same names will be replaced. Definitely continue?" ||
  fail "no question about replacing"
answer Return
next_box
answer Return
diff -r "$pack" "$work/all" || fail "the file was not replaced"

echo "== Extract selected (Ctrl+Shift+E): the second row alone"
mkdir "$work/some"
keys Home Down
pick "$work/some" ctrl+shift+e
next_box
box_says "Extracting 1 file from \"$(win "$archive")\" into \"$(win "$work/some")\". Continue?" ||
  fail "the question is not about one file"
answer Return
next_box
answer Return
[ "$(cd "$work/some" && find . -type f)" = "./sub/b.bin" ] ||
  fail "extracted: $(cd "$work/some" && find . -type f | tr '\n' ' ')"
cmp "$pack/sub/b.bin" "$work/some/sub/b.bin" || fail "sub/b.bin differs"

echo "== Enter opens a copy from the temporary folder, which goes when the viewer closes"
# Windows opens .txt files with Notepad; a new Wine prefix has the program's key but not the type's
# (added for all users: Wine doesn't merge a user's classes into the ones the shell reads).
wine reg add 'HKLM\Software\Classes\.txt' /ve /d txtfile /f >/dev/null
copy=
copy_made() {
  copy=$(find "$WINEPREFIX/drive_c/users" -path '*/Temp/zem-viewer.*/1/a.txt' 2>/dev/null | head -1)
  [ -n "$copy" ] && cmp -s "$pack/a.txt" "$copy"
}
press_until copy_made Home Return || fail "no copy of a.txt in the temporary folder"
editor=
editor_shown() { editor=$(xdotool search --onlyvisible --name '^a\.txt - Notepad' 2>/dev/null | head -1); [ -n "$editor" ]; }
wait_until 120 editor_shown || fail "a.txt was not opened in Notepad"
wait_drawn "$editor" "$work/notepad.png" || fail "Notepad was never painted"
timeout 10 xdotool windowfocus --sync "$editor" 2>/dev/null || true
xdotool key --clearmodifiers alt+F4
editor_gone() { ! xdotool search --onlyvisible --name '^a\.txt - Notepad' >/dev/null 2>&1; }
wait_until 60 editor_gone || fail "Notepad did not close"
press_until program_ended alt+F4 || fail "the viewer did not close"
finish 0
wine reg delete 'HKLM\Software\Classes\.txt' /f >/dev/null
[ ! -e "$(dirname "$(dirname "$copy")")" ] || fail "the temporary copies were left: $copy"
cmp "$work/before.zem" "$archive" || fail "the archive was changed"

echo "== a hostile archive: the reader's message, and no rows"
python3 -c 'import sys; b = open(sys.argv[1], "rb").read(); open(sys.argv[2], "wb").write(b.replace(b"sub\\b.bin", b"..\\xb.bin"))' \
  "$archive" "$work/hostile.zem"
reason=$(wine "$zem" extract -C "$(win "$work/nowhere")" "$(win "$work/hostile.zem")" 2>&1 >/dev/null |
         tr -d '\r' | sed -n 's/^zem: [^:]*:[^:]*: //p') || true  # it fails, as it should
[ -n "$reason" ] || fail "zem.exe extract did not refuse the hostile archive"
title='ZEM Viewer'
start_viewer "$(win "$work/hostile.zem")"
next_box
box_says "Error reading .zem file (\"$(win "$work/hostile.zem")\"): $reason" ||
  fail "the box says: $(wine "$probe" box "$caption")"
answer Return
wait_until 60 viewer_shown || fail "no window titled $title"
wait_until 30 shows "status: " || fail "a refused archive shows: $(shown)"
press_until program_ended alt+F4 || fail "the viewer did not close"
finish 0
[ ! -e "$work/nowhere" ] && [ ! -e "$work/xb.bin" ] || fail "something was written"

echo "screenshot of the window: $work/viewer.png"
echo "viewer OK"
