#!/usr/bin/env bash
# The real windowed zem-builder.exe under Wine on a virtual X display: its message boxes are found
# by their caption and answered with xdotool (Return is OK, Escape is Cancel), its exit codes and
# archives checked, and the archive compared with the one the Linux program writes for the same
# folder in the same time zone. A screenshot of the first question is kept in WORKDIR.
# The Windows zem tool then verifies the archive against the folder.
# Usage: end_to_end_wine.sh EXE WORKDIR LINUX_ZEM_BUILDER ZEM_EXE   (WINEPREFIX and TZ set by CTest)
set -euo pipefail
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$2
linux=${3:-}
zem=${4:?}
here=$(cd "$(dirname "$0")" && pwd)
caption='ZEM Builder (by the ZEM Builder developers)'
pattern="^${caption//[()]/\\&}\$"  # the whole title, parentheses taken literally
: "${WINEPREFIX:?}" "${TZ:?}"

fail() { echo "FAIL: $*" >&2; exit 1; }
source "$here/../x_display.sh"
source "$here/message_boxes.sh"
for tool in wine winepath Xvfb xdotool import identify python3; do
  command -v $tool >/dev/null || fail "$tool is missing (scripts/test-windows.sh installs it)"
done
if [ -z "$linux" ]; then
  echo "SKIP: no Linux zem-builder given (ZEM_LINUX_BUILDER) to write the reference archive"
  exit 77
fi

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

# The folder: plain, empty, hidden and binary files, a subfolder two deep, a time in the other
# season and one past 2038 (stored as eight zero bytes).
pack=$work/pack
mkdir -p "$pack/sub/deeper" "$pack/.cache"
printf 'hello' >"$pack/a.txt"
head -c 70001 /dev/urandom >"$pack/sub/b.bin"
: >"$pack/sub/deeper/empty"
printf 'h' >"$pack/.cache/.hidden"
printf 'summer' >"$pack/summer.txt"
touch -d '2004-07-15 12:00:01 UTC' "$pack/summer.txt"
printf 'winter' >"$pack/sub/winter.txt"
touch -d '2010-01-15 23:30:00 UTC' "$pack/sub/winter.txt"
printf 'late' >"$pack/late.txt"
touch -d '2039-06-01 00:00:00 UTC' "$pack/late.txt"
archive=$pack.zem
winpack=$(winepath -w "$pack")
echo "folder $pack, as $winpack; TZ=$TZ"

# The reference, written by the Linux program from the same folder.
printf '\n\n' | "$linux" "$pack" >/dev/null
mv "$archive" "$work/linux.zem"

start() {  # arguments for the program
  (cd "$work" && exec wine "$exe" "$@") &
  app_pid=$!
  box=  # a new X client may get the window id of a box of the previous run
}

besides() {  # names in the work folder next to the pack, to catch a temporary file left behind
  (cd "$work" && ls -A | grep -v -e '^display$' -e '^xvfb.log$' -e '\.png$' -e '^linux.zem$' | tr '\n' ' ')
}

echo "== no argument: the usage box, exit 0"
start
next_box
answer Return
finish 0
[ "$(besides)" = "pack " ] || fail "something was written: $(besides)"

echo "== Cancel at the first question: nothing written, exit 0"
start "$winpack"
next_box
answer Escape
finish 0
[ "$(besides)" = "pack " ] || fail "something was written: $(besides)"

echo "== OK, OK: the archive, exit 0"
start "$winpack\\"
next_box
wait_drawn "$box" "$work/first-question.png" || fail "the first question was never painted"
answer Return
next_box
answer Return
finish 0
[ "$(besides)" = "pack pack.zem " ] || fail "unexpected files: $(besides)"
python3 "$here/compare_archives.py" "$work/linux.zem" "$archive" ||
  fail "the archive differs from the Linux program's"
wine "$zem" verify "$winpack.zem" "$winpack" || fail "zem.exe verify found a difference"

echo "== one file per folder, so both list it in the same order: byte-identical archives"
mkdir -p "$work/single/only"
printf 'the one file' >"$work/single/only/file.dat"
printf '\n\n' | "$linux" "$work/single" >/dev/null
mv "$work/single.zem" "$work/linux-single.zem"
start "$(winepath -w "$work/single")"
next_box
answer Return
next_box
answer Return
finish 0
cmp "$work/linux-single.zem" "$work/single.zem" || fail "the archives differ"
rm -r "$work/single" "$work/single.zem" "$work/linux-single.zem"

echo "== a folder named with characters the code page lacks is the folder given, not a look-alike"
# "．．" (U+FF0E twice) would reach the programs as ".." through the code page's argv.
odd=$work/odd/$'\uff0e\uff0e'
mkdir -p "$odd"
printf 'inside' >"$odd/inside.txt"
printf 'outside' >"$work/odd/outside.txt"
wine "$zem" create -o "$(winepath -w "$work/odd.zem")" "$(winepath -w "$odd")" ||
  fail "zem.exe create of a folder named with U+FF0E failed"
listed=$(wine "$zem" list "$(winepath -w "$work/odd.zem")" | tr -d '\r')
[[ $listed != *$'\n'* && $listed == *" inside.txt" ]] || fail "the archive of the folder holds: $listed"
rm -r "$work/odd" "$work/odd.zem"

echo "== existing archive, Cancel at the second question: untouched, exit 0"
printf 'previous archive' >"$archive"
start "$winpack"
next_box
answer Return
next_box
answer Escape
finish 0
[ "$(cat "$archive")" = "previous archive" ] || fail "the archive was changed"

echo "== a file removed while the question is open: error box, exit 1, archive untouched"
start "$winpack"
next_box
rm "$pack/sub/b.bin"
answer Return
next_box
answer Return
next_box
answer Return
finish 1
[ "$(cat "$archive")" = "previous archive" ] || fail "the archive was changed"
[ "$(besides)" = "pack pack.zem " ] || fail "a temporary file was left: $(besides)"

# Unpacking: the Linux program's archive of the folder, dropped in a place of its own.
out=$work/out
mkdir -p "$out/pack"
printf 'old' >"$out/pack/a.txt"
cp "$work/linux.zem" "$out/pack.zem"
winout=$(winepath -w "$out")
in_out() { (cd "$out" && ls -A | tr '\n' ' '); }

echo "== a dropped archive into an existing folder, OK, OK: its files and times, exit 0"
start "$winout\\pack.zem"
next_box
answer Return
next_box
answer Return
next_box
answer Return
finish 0
[ "$(in_out)" = "pack pack.zem " ] || fail "unexpected files: $(in_out)"
wine "$zem" verify "$winout\\pack.zem" "$winout\\pack" || fail "the unpacked folder differs"
for name in a.txt summer.txt sub/winter.txt; do
  [ "$(stat -c %Y "$pack/$name")" = "$(stat -c %Y "$out/pack/$name")" ] ||
    fail "$name came back with another time"
done

echo "== Cancel at the question: nothing written, exit 0"
rm -r "$out/pack"
start "$winout\\pack.zem"
next_box
answer Escape
finish 0
[ "$(in_out)" = "pack.zem " ] || fail "something was written: $(in_out)"

echo "== a damaged archive: error box, nothing written, exit 1"
head -c 40 "$work/linux.zem" >"$out/bad.zem"
start "$winout\\bad.zem"
next_box
answer Return
finish 1
[ "$(in_out)" = "bad.zem pack.zem " ] || fail "something was written: $(in_out)"

echo "== a name that climbs out of the folder: error box, nothing written, exit 1"
mkdir -p "$work/hostile/zz"
printf 'evil' >"$work/hostile/zz/evil"
printf '\n\n' | "$linux" "$work/hostile" >/dev/null
python3 -c 'import sys; p = sys.argv[1]; b = open(p, "rb").read(); open(p, "wb").write(b.replace(b"zz\\evil", b"..\\evil"))' "$work/hostile.zem"
mv "$work/hostile.zem" "$out/hostile.zem"
rm -r "$work/hostile"
start "$winout\\hostile.zem"
next_box
answer Return
finish 1
[ "$(in_out)" = "bad.zem hostile.zem pack.zem " ] || fail "something was written: $(in_out)"
[ ! -e "$work/evil" ] || fail "a file was written outside the folder"

[ -s "$work/first-question.png" ] || fail "no screenshot"
echo "screenshot of the first question: $work/first-question.png"
echo "end to end OK"
