#!/usr/bin/env bash
# The Debian package: cpack -G DEB from the build folder; its control fields; its files, unpacked
# into a scratch folder and compared with the sources; then installed into and removed from a
# scratch root with dpkg --root, which must leave no file behind.
# Usage: package_test.sh BUILD_FOLDER SOURCE_FOLDER
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
need cpack dpkg dpkg-deb readelf gzip
build=$(cd "${1:?usage: package_test.sh BUILD_FOLDER SOURCE_FOLDER}" && pwd)
source_dir=$(cd "${2:?}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

make_deb "$build" "$scratch"

[ "$(dpkg-deb -f "$deb" Package)" = zem-builder ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Recommends)" = "zenity | kdialog, fuse3" ] ||
  fail "Recommends is '$(dpkg-deb -f "$deb" Recommends)'"
maintainer=$(dpkg-deb -f "$deb" Maintainer)
[[ "$maintainer" =~ ^[^@\<]+\ \<[^@]+@[^@]+\.[a-z]+\>$ && "$maintainer" != *@localhost* ]] ||
  fail "Maintainer is '$maintainer'"

# Exactly these files, nothing else.
expected=(
  ./usr/bin/zem
  ./usr/bin/zem-builder
  ./usr/bin/zem-open-folder
  ./usr/share/Thunar/sendto/zem-builder-compress.desktop
  ./usr/share/Thunar/sendto/zem-builder-extract.desktop
  ./usr/share/Thunar/sendto/zem-builder-open-folder.desktop
  ./usr/share/applications/zem-builder.desktop
  ./usr/share/applications/zem-open-folder.desktop
  ./usr/share/bash-completion/completions/zem
  ./usr/share/doc/zem-builder/changelog.gz
  ./usr/share/doc/zem-builder/copyright
  ./usr/share/icons/hicolor/256x256/apps/zem-builder.png
  ./usr/share/icons/hicolor/256x256/mimetypes/application-x-zem.png
  ./usr/share/icons/hicolor/32x32/apps/zem-builder.png
  ./usr/share/icons/hicolor/32x32/mimetypes/application-x-zem.png
  ./usr/share/icons/hicolor/48x48/apps/zem-builder.png
  ./usr/share/icons/hicolor/48x48/mimetypes/application-x-zem.png
  ./usr/share/kio/servicemenus/zem-builder-archive.desktop
  ./usr/share/kio/servicemenus/zem-builder-folder.desktop
  ./usr/share/man/man1/zem-builder.1.gz
  ./usr/share/man/man1/zem-open-folder.1.gz
  ./usr/share/man/man1/zem.1.gz
  ./usr/share/mime/packages/zem-builder.xml
  ./usr/share/nemo/actions/zem-builder-compress.nemo_action
  ./usr/share/nemo/actions/zem-builder-extract.nemo_action
  ./usr/share/nemo/actions/zem-builder-open-folder.nemo_action
)
dpkg-deb -x "$deb" "$scratch/x"
actual=$(cd "$scratch/x" && find . -type f | LC_ALL=C sort)
[ "$actual" = "$(printf '%s\n' "${expected[@]}")" ] || fail "package files:"$'\n'"$actual"
[ -x "$scratch/x/usr/bin/zem-builder" ] && [ -x "$scratch/x/usr/bin/zem" ] &&
  [ -x "$scratch/x/usr/bin/zem-open-folder" ] || fail "the programs are not executable"
# Release binaries without symbols.
for program in zem zem-builder; do
  ! LC_ALL=C readelf -S "$scratch/x/usr/bin/$program" | grep -qE '\.(symtab|debug_info)' ||
    fail "$program is not stripped"
done
cmp "$scratch/x/usr/bin/zem-open-folder" "$build/zem-open-folder"
cmp "$scratch/x/usr/share/applications/zem-builder.desktop" "$source_dir/res/zem-builder.desktop"
cmp "$scratch/x/usr/share/applications/zem-open-folder.desktop" "$source_dir/res/zem-open-folder.desktop"
for pair in kio/servicemenus:dolphin nemo/actions:nemo Thunar/sendto:thunar; do
  for file in "$scratch/x/usr/share/${pair%%:*}"/*; do
    cmp "$file" "$source_dir/res/file-managers/${pair#*:}/${file##*/}"
  done
done
cmp "$scratch/x/usr/share/bash-completion/completions/zem" "$source_dir/res/bash-completion/zem"
for page in zem zem-builder zem-open-folder; do
  gzip -dc "$scratch/x/usr/share/man/man1/$page.1.gz" | cmp - "$source_dir/docs/man/$page.1"
done
gzip -dc "$scratch/x/usr/share/doc/zem-builder/changelog.gz" | cmp - "$source_dir/res/debian/changelog"
# The licence's terms, as LICENSE has them, in the copyright file.
grep -q '^License: MIT$' "$scratch/x/usr/share/doc/zem-builder/copyright" || fail "copyright"
diff <(sed -n '/^Permission/,$p' "$source_dir/LICENSE" | sed 's/^$/./') \
     <(sed -n '/^ Permission/,$p' "$scratch/x/usr/share/doc/zem-builder/copyright" | sed 's/^ //') ||
  fail "the copyright file's licence differs from LICENSE"
cmp "$scratch/x/usr/share/mime/packages/zem-builder.xml" "$source_dir/res/zem-builder-mime.xml"
for size in 32 48 256; do
  for icon in apps/zem-builder mimetypes/application-x-zem; do
    cmp "$scratch/x/usr/share/icons/hicolor/${size}x${size}/$icon.png" \
        "$source_dir/res/icons/${icon#*/}-$size.png"
  done
done
# The MIME database is rebuilt by dpkg's trigger on /usr/share/mime/packages, the icon cache by
# the icon theme's: the package needs no maintainer scripts of its own for either.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
! grep -Eq '(preinst|postinst|prerm|postrm)$' <<<"$control" ||
  fail "the package has maintainer scripts:"$'\n'"$control"

# Install and remove in a scratch root: the libraries it depends on live outside that root.
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg_root=(dpkg --root="$root" --log=/dev/null --force-depends)
[ "$(id -u)" = 0 ] || dpkg_root+=(--force-not-root)
"${dpkg_root[@]}" -i "$deb" >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log" >&2; fail "dpkg -i failed"; }
for file in "${expected[@]}"; do
  [ -f "$root/${file#./}" ] || fail "not installed: $file"
done
usage=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/zem-builder" </dev/null || true)
[[ "$usage" == "To run the ZEM Builder, put all your files"* ]] || fail "installed program: $usage"
"${dpkg_root[@]}" -r zem-builder >>"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log" >&2; fail "dpkg -r failed"; }
left=$(cd "$root" && find usr -mindepth 1 2>/dev/null || true)
[ -z "$left" ] || fail "left behind after removal:"$'\n'"$left"
echo "package ok: $(basename "$deb")"
