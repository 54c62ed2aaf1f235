#!/usr/bin/env bash
# The .zem file type on the Linux desktop: cmake --install into a scratch prefix whose share folder
# is the user's data folder (XDG_DATA_HOME), then the freedesktop tools a file manager relies on.
# An archive written by the program is application/x-zem by its name and, renamed without the
# suffix, by its header; a file with only part of the header is not; the type's icon is installed
# and the type opens with the ZEM Builder's launcher.
# Usage: mime_test.sh BUILD_FOLDER ZEM_BUILDER
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
# xdg-mime asks gio for a file's type when the desktop is GNOME, as file managers there do.
need cmake update-mime-database update-desktop-database xdg-mime gio
build=${1:?usage: mime_test.sh BUILD_FOLDER ZEM_BUILDER}
exe=${2:?usage: mime_test.sh BUILD_FOLDER ZEM_BUILDER}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log" >&2; fail "cmake --install failed"; }
# Only the scratch user's settings count; the system's shared data stays visible, so a system
# type that claimed these files first would show here.
export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config XDG_DATA_HOME=$scratch/prefix/share
export XDG_DATA_DIRS=/usr/local/share:/usr/share XDG_CURRENT_DESKTOP=GNOME
mkdir -p "$XDG_CONFIG_HOME"
update-mime-database "$XDG_DATA_HOME/mime" || fail "update-mime-database failed"
update-desktop-database "$XDG_DATA_HOME/applications" || fail "update-desktop-database failed"

for size in 32 48 256; do
  icon=$XDG_DATA_HOME/icons/hicolor/${size}x$size/mimetypes/application-x-zem.png
  [ -f "$icon" ] || fail "no icon for the type: $icon"
done

mkdir -p "$scratch/files/folder"
printf 'hello\n' >"$scratch/files/folder/one.txt"
printf '\n' | env -u DISPLAY -u WAYLAND_DISPLAY "$exe" "$scratch/files/folder" >/dev/null ||
  fail "the program did not write the archive"
cp "$scratch/files/folder.zem" "$scratch/files/RENAMED.ZEM"
cp "$scratch/files/folder.zem" "$scratch/files/renamed"
# The three zero words but not the 8 at offset 24: the header is checked as a whole.
{ head -c 24 /dev/zero; printf '\011\000\000\000'; printf 'data'; } >"$scratch/files/zeros"

type_of() {
  local type
  type=$(xdg-mime query filetype "$1") || fail "xdg-mime query filetype $1 failed"
  printf '%s' "$type"
}
for file in folder.zem RENAMED.ZEM renamed; do
  type=$(type_of "$scratch/files/$file")
  [ "$type" = application/x-zem ] || fail "$file is '$type', not application/x-zem"
done
type=$(type_of "$scratch/files/zeros")
[ "$type" != application/x-zem ] || fail "a file of zeros without the 8 at offset 24 is taken for an archive"

default=$(xdg-mime query default application/x-zem) || fail "xdg-mime query default failed"
[ "$default" = zem-builder.desktop ] || fail "the default application is '$default'"
icons=$(gio info -a standard::icon "$scratch/files/renamed") || fail "gio info failed"
[[ "$icons" == *application-x-zem* ]] || fail "the type's icon is not application-x-zem: $icons"
echo "mime type ok"
