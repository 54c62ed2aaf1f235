#!/usr/bin/env bash
# The program as a launcher starts it, against real zenity dialogs on a private Xvfb display:
# standard input from /dev/null, DISPLAY set. Each dialog is found by its window title (the
# caption), told apart by the zenity command line behind it, and answered with xdotool (Return is
# OK, Escape is Cancel). Screenshots of every kind of dialog go to ARTEFACT_FOLDER.
# Usage: gui_test.sh ZEM_BUILDER ARTEFACT_FOLDER
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
source "${BASH_SOURCE[0]%/*}/x_display.sh"
need Xvfb xdotool zenity import identify strace
exe=${1:?usage: gui_test.sh ZEM_BUILDER ARTEFACT_FOLDER}
artefacts=${2:?}
caption='ZEM Builder (by the ZEM Builder developers)'
mkdir -p "$artefacts"
rm -f "$artefacts"/*.png
work=$(mktemp -d)
xvfb_pid=""
run_pid=""
program_pid=""  # the program under strace, while a case holds it stopped
cleanup() {
  set +e
  if [ "${passed:-}" != 1 ] && [ -n "$xvfb_pid" ]; then
    kill -0 "$xvfb_pid" 2>/dev/null || echo "Xvfb had ended; its log:" >&2
    cat "$work/xvfb.log" >&2
  fi
  [ -n "$run_pid" ] && kill "$run_pid" 2>/dev/null
  # A stopped program would stay stopped once strace has gone.
  [ -n "$program_pid" ] && kill -KILL "$program_pid" 2>/dev/null
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

start_display "$work"

# start [PREFIX...] -- ARGS...: the program with standard input from /dev/null.
start() {
  local prefix=()
  while [ "$1" != -- ]; do prefix+=("$1"); shift; done
  shift
  "${prefix[@]}" "$exe" "$@" </dev/null >"$work/out" 2>"$work/err" &
  run_pid=$!
}

program_ended() {
  ! kill -0 "$run_pid" 2>/dev/null
}

no_window_left() {
  [ -z "$(xdotool search --onlyvisible --name '^ZEM Builder' 2>/dev/null)" ]
}

finish() {  # expected exit code
  local code=0
  wait_until 120 program_ended || fail "the program did not end within two minutes"
  wait "$run_pid" || code=$?
  run_pid=""
  [ "$code" = "$1" ] || { cat "$work/err" >&2; fail "exit code $code, expected $1"; }
  # Every window closes with the run, once the X server has seen its clients go.
  wait_until 30 no_window_left || fail "a window is still open after the run"
}

# find_dialog KIND: true once a visible window titled with the caption belongs to a zenity that
# runs --KIND (setting $window, $dialog_pid and $command), or once the program has ended, when
# no dialog can come ($window then stays empty).
find_dialog() {
  local id pid
  for id in $(xdotool search --onlyvisible --name '^ZEM Builder' 2>/dev/null); do
    pid=$(xdotool getwindowpid "$id" 2>/dev/null) || continue
    command=$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/cmdline") || continue
    if grep -qx -- "--$1" <<<"$command"; then
      window=$id
      dialog_pid=$pid
      return 0
    fi
  done
  program_ended
}

# dialog KIND: waits for the program's zenity --KIND window; sets $window, $dialog_pid (the zenity
# behind it) and $command (its arguments, one per line).
dialog() {
  window=""
  wait_until 120 find_dialog "$1" || true
  [ -n "$window" ] || { cat "$work/err" >&2; fail "no --$1 dialog appeared"; }
  [ "$(xdotool getwindowname "$window")" = "$caption" ] ||
    fail "window title '$(xdotool getwindowname "$window")'"
}

has_argument() {
  grep -qxF -- "$1" <<<"$command" || fail "zenity was not given '$1'; it got:"$'\n'"$command"
}

# Whether the dialog's zenity still shows a window. (Window ids are no test: the next dialog's
# window often gets the id of the one just closed.)
visible() {
  [ -n "$(xdotool search --onlyvisible --pid "$dialog_pid" 2>/dev/null)" ]
}

closed() {
  ! visible
}

# The key goes to the dialog once it has drawn itself and has the focus. Should it still be lost,
# it is pressed again, but only after a long wait: a second key that arrived as the dialog closed
# would answer the next one.
answer() {  # key
  wait_drawn "$window" "$work/window.png" || fail "the dialog was never drawn"
  local attempt
  for attempt in 1 2 3; do
    timeout 10 xdotool windowfocus --sync "$window" 2>/dev/null || true
    xdotool key "$1"
    wait_until 20 closed && return 0
    echo "the dialog is still open 20 s after $1 (attempt $attempt)"
  done
  fail "the dialog ignored $1"
}

shot() {  # name: the dialog's picture, once drawn, in ARTEFACT_FOLDER/NAME.png
  wait_drawn "$window" "$artefacts/$1.png" || fail "the $1 dialog was never drawn"
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
# strace stops the program (SIGSTOP) as it opens the big file, so the window is cancelled while the
# copy is held, however loaded the machine; the program goes on (SIGCONT) only once that window's
# zenity has exited, and must then take it as Cancel. -f: whichever thread opens the file (so
# zenity is traced too). strace can't inject a signal with --seccomp-bpf.
# LeakSanitizer can't work under ptrace: a sanitizer build checks leaks in the other runs only.
start env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
      strace -f -o "$work/strace.log" -P "$folder/sub/two.bin" -e trace=openat \
      -e inject=openat:signal=SIGSTOP -- "$folder"
# held: the program (strace's child, $program_pid) is in the stop that opening the big file caused.
held() {
  program_pid=$(cat "/proc/$run_pid/task/$run_pid/children" 2>/dev/null) || return 1
  program_pid=${program_pid%% *}
  [ -n "$program_pid" ] && grep -qF -- '--- stopped by SIGSTOP ---' "$work/strace.log" &&
    [[ $(process_state "$program_pid") == [tT] ]]
}
# strace logs an exit once it has collected it; only then can the program, zenity's parent, see it.
zenity_exited() {
  grep -qE "^$dialog_pid +\+\+\+ exited with " "$work/strace.log"
}
dialog question
answer Return
dialog question
answer Return
wait_until 120 held || fail "the program did not stop at opening the big file"
dialog progress
shot progress
answer Escape
wait_until 60 zenity_exited || fail "the progress window's zenity did not end"
kill -CONT "$program_pid"
finish 0
program_pid=""
[ "$(cat "$archive")" = previous ] || fail "the previous archive changed"
expected_files="a & <b>|a & <b>.zem|display|err|expected.zem|out|strace.log|window.png|xvfb.log|"
[ "$(ls -A "$work" | LC_ALL=C sort | tr '\n' '|')" = "$expected_files" ] ||
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

echo "a dropped archive unpacks beside it, with its files' contents and times"
mkdir "$work/unpacked"
dropped="$work/unpacked/a & <b>.zem"
cp "$work/expected.zem" "$dropped"
start -- "$dropped"
dialog question
has_argument "--text=Extracting 2 files from \"$dropped\" into \"${dropped%.zem}\". Continue?"
shot unpack
answer Return
dialog info
has_argument "--text=ZEM extraction complete."
answer Return
finish 0
diff -r "$folder" "${dropped%.zem}" || fail "the unpacked folder differs from the packed one"
for name in one.txt sub/two.bin; do
  [ "$(stat -c %Y "$folder/$name")" = "$(stat -c %Y "${dropped%.zem}/$name")" ] ||
    fail "$name came back with another time"
done

passed=1
echo "gui ok; screenshots in $artefacts"
