#!/usr/bin/env bash
# The setup program under Wine, in a Wine prefix and a home folder of its own, on a virtual
# display. Its first page is kept as a screenshot (WORKDIR/first-page.png) and cancelled; then:
#   - for all users (/S): the files, the shortcuts and the registry values; a folder packed by
#     the Send To entry's program, the archive opened through the .zem file type (`wine start`,
#     as a double-click does) in the viewer, then unpacked by the command of Explorer's "Unpack
#     here", then packed and unpacked again by the commands of Explorer's verbs on folders and
#     archives, the boxes answered with xdotool;
#   - for the current user (/CurrentUser /S) over an earlier owner of .zem, which the
#     uninstaller gives the file type back to;
#   - in a chosen folder, then again over it (the upgrade stays there and replaces the files);
#     uninstalled after another program took .zem over and the user left an archive in the folder.
# Each ends with the uninstaller run as the Apps entry's QuietUninstallString says, and the
# registry (`wine reg export`) and the prefix's files compared with those before the setup.
# Usage: installer_test.sh SETUP STAGE WORKDIR VERSION
#   STAGE: the folder holding the files the setup should install
set -euo pipefail
setup=$1
stage=$2
work=$3
version=$4
here=$(cd "$(dirname "$0")" && pwd)

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() {
  [ "${CI:-}" != true ] || fail "$*"
  echo "SKIP: $*"
  exit 77
}
source "$here/../x_display.sh"
source "$here/message_boxes.sh"
[ -f "$setup" ] || skip "no $setup: makensis was missing when the build was configured (nsis)"
for tool in wine wineboot wineserver winepath Xvfb xdotool import identify python3 wrestool \
            x86_64-w64-mingw32-objdump; do
  command -v $tool >/dev/null || skip "$tool is missing (scripts/test-windows.sh installs it)"
done
setup=$(cd "$(dirname "$setup")" && pwd)/$(basename "$setup")
stage=$(cd "$stage" && pwd)

rm -rf "$work"
mkdir -p "$work/home/Desktop"
work=$(cd "$work" && pwd)
# Wine links the Windows user's Desktop and Documents to the home folder's: a private one keeps
# the shortcuts out of the real one.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all
# winemenubuilder would copy shortcuts and file types into the Linux desktop's menus.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="

xvfb_pid=
app_pid=
cleanup() {
  if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

echo "== the setup program: version resource, x86-64"
wrestool -x --raw --type=16 "$setup" >"$work/version.res" || fail "no version resource"
utf16=$(printf '%s' "$version" | sed 's/./&\x00/g' | od -An -tx1 | tr -d ' \n')
od -An -tx1 "$work/version.res" | tr -d ' \n' | grep -q "$utf16" ||
  fail "the version resource does not hold $version"
x86_64-w64-mingw32-objdump -f "$setup" | grep -q 'file format pei-x86-64' ||
  fail "not an x86-64 program"

start_display "$work"
# The first start builds the prefix's Windows folders and registry.
timeout 300 wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot: $(cat "$work/wineboot.log")"
timeout 180 wineserver -w || fail "Wine did not settle after creating the prefix"

# values KEY: the key's values, one NAME|DATA line each, "(Default)" the default one's name;
# false if there is no such key. One Wine start per key: each costs about a second.
values() {
  local out
  out=$(wine reg query "$1" 2>/dev/null) || return 1
  # "    NAME    TYPE    DATA" with CR LF line ends; subkeys are listed unindented.
  tr -d '\r' <<<"$out" | awk -F '    ' 'NF >= 3 && $1 == "" { print $2 "|" $4 }'
}
reg_value() {  # KEY NAME: the value's data; false if there is none
  local have
  have=$(values "$1") || return 1
  name=$2 awk 'index($0, ENVIRON["name"] "|") == 1 { print substr($0, length(ENVIRON["name"]) + 2)
                                                    found = 1; exit }
               END { exit !found }' <<<"$have"
}
reg_key() { wine reg query "$1" >/dev/null 2>&1; }
expect_values() {  # KEY, then its expected NAME|DATA lines on standard input
  local have line
  have=$(values "$1") || fail "no key $1"
  while IFS= read -r line; do
    grep -Fxq -- "$line" <<<"$have" || fail "$1: no value $line; it holds: $have"
  done
}
folder() {  # ROOT NAME: where Windows keeps a kind of file, as it tells programs
  reg_value "$1\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders" "$2"
}
# unix_path PATH: where a path on drive C: is here (winepath would cost a Wine start).
unix_path() {
  [[ $1 == 'C:\'* ]] || fail "$1 is not on drive C:"
  local rest=${1#C:\\}
  echo "$WINEPREFIX/drive_c/${rest//\\//}"
}

program_files=$(reg_value 'HKLM\Software\Microsoft\Windows\CurrentVersion' ProgramFilesDir)
common_programs=$(folder HKLM 'Common Programs')
common_desktop=$(folder HKLM 'Common Desktop')
user_programs=$(folder HKCU Programs)
user_desktop=$(folder HKCU Desktop)
send_to=$(folder HKCU SendTo)
local_app_data=$(folder HKCU 'Local AppData')
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\ZEM Builder'
progid=ZEMBuilder.Archive
pack_verb='Directory\shell\ZEMBuilder.Pack'

# snapshot NAME: the registry's two hives and the prefix's files (the temporary folders left
# out: an uninstaller runs from a copy of itself there, which Windows cleans up later).
snapshot() {
  wine reg export HKLM "$work/$1-hklm.reg" /y >/dev/null || fail "reg export HKLM"
  wine reg export HKCU "$work/$1-hkcu.reg" /y >/dev/null || fail "reg export HKCU"
  { (cd "$WINEPREFIX/drive_c" && find . -path './users/*/Temp' -prune -o -print)
    find "$HOME/Desktop"; } | LC_ALL=C sort >"$work/$1-files"
}
same_as() {  # NAME: the registry and the files are as snapshot NAME found them
  snapshot now
  python3 "$here/registry_diff.py" "$work/$1-hklm.reg" "$work/now-hklm.reg" ||
    fail "HKLM differs from before (above)"
  python3 "$here/registry_diff.py" "$work/$1-hkcu.reg" "$work/now-hkcu.reg" ||
    fail "HKCU differs from before (above)"
  diff "$work/$1-files" "$work/now-files" || fail "files differ from before (above)"
}

install() {  # setup arguments
  local code=0
  wine "$setup" "$@" || code=$?
  [ "$code" = 0 ] || fail "setup $* ended with exit code $code"
}

# uninstall ROOT: runs the uninstaller as the Apps entry under ROOT (HKLM or HKCU) says.
uninstall() {
  local command code=0
  command=$(reg_value "$1\\$uninstall_key" QuietUninstallString) || fail "no QuietUninstallString"
  [[ $command =~ ^\"([^\"]+)\"\ (.+)$ ]] || fail "QuietUninstallString is $command"
  # Word splitting on purpose: the options after the quoted path.
  # shellcheck disable=SC2086
  wine "${BASH_REMATCH[1]}" ${BASH_REMATCH[2]} || code=$?
  [ "$code" = 0 ] || fail "$command ended with exit code $code"
  # The uninstaller copies itself to the temporary folder, starts the copy (which does the work)
  # and returns at once. The copy has ended once the Wine server has: the server ends with the
  # last Windows program of the prefix, and no other one runs now.
  timeout 300 wineserver -w || fail "the uninstaller did not end within five minutes"
}

# installed ROOT PROGRAMS DESKTOP DIR MODE: what the setup for ROOT (HKLM for all users, HKCU for
# one) put in DIR, in the Start menu's PROGRAMS, on DESKTOP and in Send To; MODE its option.
installed() {
  local root=$1 programs=$2 desktop=$3 dir=$4 mode=$5 unix name link target bytes
  local classes="$1\\Software\\Classes" key="$1\\$uninstall_key" other=HKCU
  unix=$(unix_path "$dir")
  [ "$(LC_ALL=C ls -A "$unix" | tr '\n' ' ')" = "LICENSE.txt README.txt Uninstall.exe zem-builder.exe zem-viewer.exe zem.exe " ] ||
    fail "$dir holds: $(ls -A "$unix" | tr '\n' ' ')"
  for name in LICENSE.txt README.txt zem-builder.exe zem-viewer.exe zem.exe; do
    cmp "$stage/$name" "$unix/$name" || fail "$dir\\$name is not the built one"
  done
  for link in "$programs" "$desktop" "$send_to"; do
    link+='\ZEM Builder.lnk'
    [ -f "$(unix_path "$link")" ] || fail "no shortcut $link"
    target=$(python3 "$here/shell_link.py" "$(unix_path "$link")" | sed -n 's/^target=//p')
    [ "$target" = "$dir\\zem-builder.exe" ] || fail "$link starts $target"
  done
  link="$programs\\ZEM Viewer.lnk"
  target=$(python3 "$here/shell_link.py" "$(unix_path "$link")" | sed -n 's/^target=//p')
  [ "$target" = "$dir\\zem-viewer.exe" ] || fail "$link starts $target"

  bytes=$(cat "$unix"/* | wc -c)
  expect_values "$key" <<EOF
DisplayName|ZEM Builder
DisplayVersion|$version
Publisher|The ZEM Builder developers
DisplayIcon|"$dir\\zem-builder.exe",0
InstallLocation|$dir
UninstallString|"$dir\\Uninstall.exe" $mode
QuietUninstallString|"$dir\\Uninstall.exe" $mode /S
NoModify|0x1
NoRepair|0x1
EstimatedSize|$(printf '0x%x' $((bytes / 1024)))
EOF
  while IFS='|' read -r key name value; do
    expect_values "$classes\\$key" <<<"$name|$value"
  done <<EOF
.zem|(Default)|$progid
.zem\\OpenWithProgids|$progid|
$progid\\DefaultIcon|(Default)|"$dir\\zem-builder.exe",-102
$progid\\shell\\open|(Default)|View
$progid\\shell\\open|Icon|"$dir\\zem-viewer.exe",0
$progid\\shell\\open\\command|(Default)|"$dir\\zem-viewer.exe" "%1"
$progid\\shell\\unpack|(Default)|Unpack here
$progid\\shell\\unpack|Icon|"$dir\\zem-builder.exe",0
$progid\\shell\\unpack\\command|(Default)|"$dir\\zem-builder.exe" "%1"
$pack_verb|(Default)|Pack into a .zem archive
$pack_verb|Icon|"$dir\\zem-builder.exe",0
$pack_verb\\command|(Default)|"$dir\\zem-builder.exe" "%1"
EOF
  if [ "$root" = HKCU ]; then other=HKLM; fi
  ! reg_key "$other\\$uninstall_key" || fail "an Apps entry under $other too"
  ! reg_key "$other\\Software\\Classes\\$progid" || fail "the file type under $other too"
  ! reg_key "$other\\Software\\Classes\\$pack_verb" || fail "the folder verb under $other too"
}

# gone ROOT PROGRAMS DESKTOP DIR: none of the setup's files, shortcuts and keys is left.
gone() {
  local link
  ! reg_key "$1\\$uninstall_key" || fail "the Apps entry is left"
  ! reg_key "$1\\Software\\Classes\\$progid" || fail "the file type $progid is left"
  ! reg_key "$1\\Software\\Classes\\$pack_verb" || fail "the folder verb is left"
  for link in "$2" "$3" "$send_to"; do
    [ ! -e "$(unix_path "$link\\ZEM Builder.lnk")" ] || fail "$link\\ZEM Builder.lnk is left"
  done
  [ ! -e "$(unix_path "$2\\ZEM Viewer.lnk")" ] || fail "$2\\ZEM Viewer.lnk is left"
}

# Windows always has a user's class key; a new Wine prefix makes it only when it is first written.
wine reg add 'HKCU\Software\Classes' /f >/dev/null
snapshot before
echo "== the first page, cancelled: nothing installed"
pattern='^ZEM Builder Setup'
(cd "$work" && exec wine "$setup") &
app_pid=$!
box=
next_box
wait_drawn "$box" "$work/first-page.png" || fail "the first page was never painted"
answer Escape
finish 1  # NSIS's exit code for a setup cancelled by the user
timeout 180 wineserver -w || fail "Wine did not settle after the cancelled setup"
same_as before

echo "== for all users (/S)"
all_dir="$program_files\\ZEM Builder"
install /S
installed HKLM "$common_programs" "$common_desktop" "$all_dir" /AllUsers

echo "== Send To's program packs a folder, opening the archive views it, Unpack here unpacks it"
pattern='^ZEM Builder \(by the ZEM Builder developers\)$'
mkdir -p "$work/pack/sub/deeper"
printf 'hello' >"$work/pack/a.txt"
head -c 70001 /dev/urandom >"$work/pack/sub/b.bin"
: >"$work/pack/sub/deeper/empty"
target=$(python3 "$here/shell_link.py" "$(unix_path "$send_to\\ZEM Builder.lnk")" |
         sed -n 's/^target=//p')
# Send To starts the shortcut's program with the folder as its one argument.
(cd "$work" && exec wine "$target" "$(winepath -w "$work/pack")") &
app_pid=$!
box=
next_box  # Generating ... Continue?
answer Return
next_box  # ZEM creation complete.
answer Return
finish 0
[ -f "$work/pack.zem" ] || fail "no archive written"
mv "$work/pack" "$work/original"
# Like a double-click: the shell looks up .zem's program and its open verb, View.
(cd "$work" && exec wine start /wait /unix "$work/pack.zem") &
app_pid=$!
viewer_shown() { xdotool search --onlyvisible --name '^pack\.zem - ZEM Viewer$' >/dev/null 2>&1; }
wait_until 180 viewer_shown || fail "opening the archive did not show it in the viewer"
viewer=$(xdotool search --onlyvisible --name '^pack\.zem - ZEM Viewer$' | head -1)
wait_drawn "$viewer" "$work/viewer.png" || fail "the viewer was never painted"
timeout 10 xdotool windowfocus --sync "$viewer" 2>/dev/null || true
xdotool key --clearmodifiers alt+F4
finish 0
[ ! -e "$work/pack" ] || fail "opening the archive unpacked it"
timeout 180 wineserver -w || fail "Wine did not settle after the viewer"

echo "== Explorer's verbs: Pack into a .zem archive on the folder, Unpack here on the archive"
# run_verb KEY PATH: starts the verb's command as Explorer does, with PATH for "%1".
run_verb() {
  local command
  command=$(reg_value "HKLM\\Software\\Classes\\$1\\command" '(Default)') || fail "no command for $1"
  [[ $command =~ ^\"([^\"]+)\"\ \"%1\"$ ]] || fail "$1 runs $command"
  (cd "$work" && exec wine "${BASH_REMATCH[1]}" "$(winepath -w "$2")") &
  app_pid=$!
  box=
}
run_verb "$progid\\shell\\unpack" "$work/pack.zem"
next_box  # Extracting 3 files ... Continue?
answer Return
next_box  # ZEM extraction complete.
answer Return
finish 0
diff -r "$work/original" "$work/pack" || fail "the unpacked folder differs from the packed one"
rm "$work/pack.zem"
run_verb "$pack_verb" "$work/pack"
next_box  # Generating ... Continue?
answer Return
next_box  # ZEM creation complete.
answer Return
finish 0
rm -r "$work/pack"
run_verb "$progid\\shell\\unpack" "$work/pack.zem"
next_box  # Extracting 3 files ... Continue?
answer Return
next_box  # ZEM extraction complete.
answer Return
finish 0
diff -r "$work/original" "$work/pack" || fail "the folder packed and unpacked by the verbs differs"
timeout 180 wineserver -w || fail "Wine did not settle after the verbs"

uninstall HKLM
gone HKLM "$common_programs" "$common_desktop"
same_as before

echo "== for the current user (/CurrentUser /S), over an earlier owner of .zem"
wine reg add 'HKCU\Software\Classes\.zem' /ve /d Earlier.Archive /f >/dev/null
snapshot earlier
user_dir="$local_app_data\\Programs\\ZEM Builder"
install /CurrentUser /S
installed HKCU "$user_programs" "$user_desktop" "$user_dir" /CurrentUser
expect_values 'HKCU\Software\Classes\.zem' <<<'ZEMBuilder.PreviousOwner|Earlier.Archive'
uninstall HKCU
gone HKCU "$user_programs" "$user_desktop"
same_as earlier  # .zem belongs to Earlier.Archive again
wine reg delete 'HKCU\Software\Classes\.zem' /f >/dev/null

echo "== in a chosen folder, then upgraded in place"
# Two new folders. No space: /D= takes the rest of the command line unquoted, and wine quotes an
# argument with a space.
chosen='C:\Tools\ZEM'
install /S "/D=$chosen"
installed HKLM "$common_programs" "$common_desktop" "$chosen" /AllUsers
printf 'an older version' >"$(unix_path "$chosen\\zem.exe")"
install /S
installed HKLM "$common_programs" "$common_desktop" "$chosen" /AllUsers
[ ! -e "$(unix_path "$all_dir")" ] || fail "the upgrade went to $all_dir, not to $chosen"

echo "== uninstalled after another program took .zem, with the user's archive in the folder"
wine reg add 'HKLM\Software\Classes\.zem' /ve /d Other.Archive /f >/dev/null
cp "$work/pack.zem" "$(unix_path "$chosen\\mine.zem")"
uninstall HKLM
gone HKLM "$common_programs" "$common_desktop"
expect_values 'HKLM\Software\Classes\.zem' <<<'(Default)|Other.Archive'
! reg_key 'HKLM\Software\Classes\.zem\OpenWithProgids' || fail "OpenWithProgids is left"
[ "$(ls -A "$(unix_path "$chosen")")" = mine.zem ] ||
  fail "$chosen holds: $(ls -A "$(unix_path "$chosen")" | tr '\n' ' ')"
cmp "$work/pack.zem" "$(unix_path "$chosen\\mine.zem")" || fail "the user's archive was changed"
rm -r "$(unix_path 'C:\Tools')"
wine reg delete 'HKLM\Software\Classes\.zem' /f >/dev/null
same_as before

echo "screenshot of the first page: $work/first-page.png"
echo "installer OK in $SECONDS s"
