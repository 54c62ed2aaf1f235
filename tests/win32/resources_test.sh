#!/usr/bin/env bash
# The built zem-builder.exe is a windowed program that needs no MinGW DLL, and it carries icon
# groups 101 and 102, each with a 32x32 image in 16 colours (4 bpp) and one in 256 colours
# (8 bpp), the pixels of res/zem-builder.ico and res/zem-archive.ico, and a version resource.
# The viewer, zem-viewer.exe, likewise: windowed, system DLLs only, the archive's icon as its
# group 101, and the manifest that asks for per-monitor DPI awareness and the common controls 6.
# Usage: resources_test.sh EXE VERSION VIEWER_EXE
set -euo pipefail
shopt -s extglob
exe=$1
version=$2
viewer=$3
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

for tool in wrestool icotool; do
  command -v $tool >/dev/null || fail "$tool is missing (apt-get install icoutils)"
done

wrestool -l "$exe" >"$work/list"
cat "$work/list"
grep -q -- '--type=16 ' "$work/list" || fail "no version resource"
# Group 101, the program's icon, and 102, the .zem file type's (the viewer's own icon).
# icon_group EXE ID ICO: the group holds the committed icon's two images, pixel for pixel.
icon_group() {
  local exe=$1 id=$2 ico=$3 bits built committed
  wrestool -l "$exe" >"$work/list"
  grep -q -- "--type=14 --name=$id " "$work/list" || fail "no icon group $id"
  rm -rf "$work/built" "$work/committed"
  mkdir -p "$work/built" "$work/committed"
  wrestool -x --type=14 --name="$id" "$exe" -o "$work/group.ico"
  icotool -l "$work/group.ico" >"$work/icons"
  cat "$work/icons"
  [ "$(wc -l <"$work/icons")" = 2 ] || fail "icon group $id should hold exactly two images"
  grep -q -- '--width=32 --height=32 --bit-depth=4 --palette-size=16' "$work/icons" ||
    fail "no 32x32 image in 16 colours in group $id"
  grep -q -- '--width=32 --height=32 --bit-depth=8 --palette-size=256' "$work/icons" ||
    fail "no 32x32 image in 256 colours in group $id"
  icotool -x -o "$work/built" "$work/group.ico"
  icotool -x -o "$work/committed" "$src/res/$ico"
  for bits in 4 8; do
    built=$(find "$work/built" -name "*32x32x$bits.png")
    committed=$(find "$work/committed" -name "*32x32x$bits.png")
    cmp -s "$built" "$committed" || fail "the $bits bpp image of group $id differs from res/$ico"
  done
}
icon_group "$exe" 101 zem-builder.ico
icon_group "$exe" 102 zem-archive.ico
icon_group "$viewer" 101 zem-archive.ico

# FileVersion and ProductVersion are UTF-16 strings in the version resource.
wrestool -x --raw --type=16 "$exe" -o "$work/version.res"
utf16=$(printf '%s' "$version" | sed 's/./&\x00/g' | od -An -tx1 | tr -d ' \n')
od -An -tx1 "$work/version.res" | tr -d ' \n' | grep -q "$utf16" ||
  fail "the version resource does not hold $version"
# Windowed (no console opens), and only system DLLs imported: it runs with nothing beside it.
objdump=x86_64-w64-mingw32-objdump
command -v $objdump >/dev/null || fail "$objdump is missing (apt-get install binutils-mingw-w64-x86-64)"
# windowed EXE ALLOWED: a GUI program importing only the DLLs ALLOWED matches (a case pattern).
windowed() {
  local dlls dll
  $objdump -p "$1" >"$work/headers"
  grep -qE '^Subsystem[[:space:]]+0+2[[:space:]]+\(Windows GUI\)' "$work/headers" ||
    fail "$1 is not a windowed (GUI subsystem) program"
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' "$work/headers" | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
  echo "$(basename "$1") imports: $dlls"
  for dll in $dlls; do
    # shellcheck disable=SC2254
    case $dll in
      $2 | api-ms-win-*) ;;
      *) fail "$1 imports $dll, which is not part of Windows" ;;
    esac
  done
}
windowed "$exe" '@(kernel32|user32|msvcrt|advapi32|shell32).dll'
windowed "$viewer" '@(kernel32|user32|msvcrt|advapi32|gdi32|comctl32|comdlg32|shell32|shlwapi|ole32|ntdll).dll'
wrestool -x --raw --type=24 --name=1 "$viewer" -o "$work/manifest.xml" ||
  fail "the viewer has no manifest"
for wanted in '<dpiAwareness[^>]*>PerMonitorV2' 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'; do
  grep -q "$wanted" "$work/manifest.xml" || fail "the viewer's manifest lacks $wanted"
done

echo "resources OK: icon groups (32x32 at 4 and 8 bpp), version $version, the viewer's manifest"
