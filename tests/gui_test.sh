#!/usr/bin/env bash
# The program as a launcher starts it, against real zenity dialogs on a private Xvfb display:
# standard input from /dev/null, DISPLAY set. Each dialog is found by its window title (the
# caption), told apart by the zenity command line behind it, and answered with xdotool (Return is
# OK, Escape is Cancel). Screenshots of every kind of dialog go to ARTEFACT_FOLDER.
# Usage: gui_test.sh ZEM_BUILDER ARTEFACT_FOLDER
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
need Xvfb xdotool zenity import strace
exe=${1:?usage: gui_test.sh ZEM_BUILDER ARTEFACT_FOLDER}
artefacts=${2:?}
caption='ZEM Builder (by the ZEM Builder developers)'
mkdir -p "$artefacts"
rm -f "$artefacts"/*.png
work=$(mktemp -d)
xvfb_pid=""
run_pid=""
cleanup() {
  set +e
  if [ "${passed:-}" != 1 ] && [ -n "$xvfb_pid" ]; then
    kill -0 "$xvfb_pid" 2>/dev/null || echo "Xvfb had ended; its log:" >&2
    cat "$work/xvfb.log" >&2
  fi
  [ -n "$run_pid" ] && kill "$run_pid" 2>/dev/null
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A free display: Xvfb picks the number and writes it to the descriptor given. -noreset: by
# default an X server resets when its last client leaves, and refuses connections meanwhile,
# which a dialog started between two steps would meet.
Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" \
     2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 200); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start"; }
export DISPLAY=":$(cat "$work/display")"
unset WAYLAND_DISPLAY

# start [PREFIX...] -- ARGS...: the program with standard input from /dev/null.
start() {
  local prefix=()
  while [ "$1" != -- ]; do prefix+=("$1"); shift; done
  shift
  "${prefix[@]}" "$exe" "$@" </dev/null >"$work/out" 2>"$work/err" &
  run_pid=$!
}

finish() {  # expected exit code
  local code=0
  for _ in $(seq 600); do
    kill -0 "$run_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$run_pid" 2>/dev/null && fail "the program did not end within a minute"
  wait "$run_pid" || code=$?
  run_pid=""
  [ "$code" = "$1" ] || { cat "$work/err" >&2; fail "exit code $code, expected $1"; }
  # Every window closes with the run (given the X server a moment to see its clients go).
  for _ in $(seq 20); do
    [ -z "$(xdotool search --onlyvisible --name '^ZEM Builder' 2>/dev/null)" ] && return 0
    sleep 0.1
  done
  fail "a window is still open after the run"
}

# dialog KIND: waits for the visible window titled with the caption whose zenity runs --KIND;
# sets $window, $dialog_pid (the zenity behind it) and $command (its arguments, one per line).
dialog() {
  local kind=$1
  for _ in $(seq 300); do
    for window in $(xdotool search --onlyvisible --name '^ZEM Builder' 2>/dev/null); do
      local pid
      pid=$(xdotool getwindowpid "$window" 2>/dev/null) || continue
      command=$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/cmdline") || continue
      if grep -qx -- "--$kind" <<<"$command"; then
        dialog_pid=$pid
        [ "$(xdotool getwindowname "$window")" = "$caption" ] ||
          fail "window title '$(xdotool getwindowname "$window")'"
        return 0
      fi
    done
    kill -0 "$run_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/err" >&2
  fail "no --$kind dialog appeared"
}

has_argument() {
  grep -qxF -- "$1" <<<"$command" || fail "zenity was not given '$1'; it got:"$'\n'"$command"
}

# Whether the dialog's zenity still shows a window. (Window ids are no test: the next dialog's
# window often gets the id of the one just closed.)
visible() {
  [ -n "$(xdotool search --onlyvisible --pid "$dialog_pid" 2>/dev/null)" ]
}

# A key pressed while the dialog is still getting ready can be lost: press again until the dialog
# goes away.
answer() {  # key
  sleep 0.2
  for _ in 1 2 3 4 5; do
    timeout 5 xdotool windowfocus --sync "$window" 2>/dev/null || true
    xdotool key "$1"
    for _ in $(seq 20); do
      visible || return 0
      sleep 0.1
    done
  done
  fail "the dialog ignored $1"
}

shot() {
  sleep 0.3  # let the dialog draw itself
  import -window root "$artefacts/$1.png"
}

folder="$work/a & <b>"
archive="$folder.zem"
mkdir -p "$folder/sub"
printf 'hello' >"$folder/one.txt"
head -c 300000 /dev/urandom >"$folder/sub/two.bin"
question="Generating \"$archive\" from 2 files. Continue?"

# The archive a script makes of the same folder, to compare with.
printf '\n' | env -u DISPLAY "$exe" "$folder" >/dev/null
mv "$archive" "$work/expected.zem"

echo "usage without an argument"
start -- 
dialog info
has_argument "--text=To run the ZEM Builder, put all your files into a folder, then drag-and-drop the folder onto the ZEM Builder's icon. The folder's name will be used as the name of the .zem file."
shot usage
answer Return
finish 0

echo "Escape at the first question writes nothing"
start -- "$folder"
dialog question
has_argument "--text=$question"
has_argument --no-markup
shot question
answer Escape
finish 0
[ ! -e "$archive" ] || fail "an archive was written after Cancel"

echo "OK packs the folder (the same archive as a script makes), then the completion message"
start -- "$folder"
dialog question
answer Return
dialog info
has_argument "--text=ZEM creation complete."
shot complete
answer Return
finish 0
cmp "$archive" "$work/expected.zem" || fail "the archive differs from the one a script makes"

echo "Escape at the second question keeps the archive that is there"
printf 'previous' >"$archive"
start -- "$folder"
dialog question
answer Return
dialog question
has_argument "--text=ZEM file \"$archive\" already exists. Definitely continue?"
shot exists
answer Escape
finish 0
[ "$(cat "$archive")" = previous ] || fail "the previous archive changed"

echo "Cancel on the progress window stops the run and leaves the previous archive"
# Opening the big file takes 3 s (strace delays that one call), so the window is there to cancel.
# LeakSanitizer can't work under ptrace: a sanitizer build checks leaks in the other runs only.
start env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -o /dev/null -P "$folder/sub/two.bin" -e trace=openat \
      -e inject=openat:delay_enter=3000000 -- "$folder"
dialog question
answer Return
dialog question
answer Return
dialog progress
shot progress
answer Escape
finish 0
[ "$(cat "$archive")" = previous ] || fail "the previous archive changed"
[ "$(ls -A "$work" | LC_ALL=C sort | tr '\n' '|')" = "a & <b>|a & <b>.zem|display|err|expected.zem|out|xvfb.log|" ] ||
  fail "left behind: $(ls -A "$work")"

echo "a fatal error shows an error dialog and ends with 1"
rm -f "$archive"
mkdir "$archive"
start -- "$folder"
dialog question
answer Return
dialog question
answer Return
dialog error
has_argument "--text=Error opening .zem file (\"$archive\") for output"
shot error
answer Return
finish 1

passed=1
echo "gui ok; screenshots in $artefacts"
