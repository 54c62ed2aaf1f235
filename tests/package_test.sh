#!/usr/bin/env bash
# The Debian packages: cpack -G DEB from the build folder gives the programs' package, the shared
# library's (libzem1), the development files' (libzem-dev) and the Python package's
# (python3-zem); their control fields; their files, unpacked into a scratch folder and compared
# with the sources; then all four installed into and removed from a scratch root with dpkg
# --root, which must leave no file behind.
# Usage: package_test.sh BUILD_FOLDER SOURCE_FOLDER
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
need cpack dpkg dpkg-deb readelf nm gzip
build=$(cd "${1:?usage: package_test.sh BUILD_FOLDER SOURCE_FOLDER}" && pwd)
source_dir=$(cd "${2:?}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

make_debs "$build" "$scratch"
version=$(dpkg-deb -f "$deb" Version)

[ "$(dpkg-deb -f "$deb" Package)" = zem-builder ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Recommends)" = "zenity | kdialog, fuse3" ] ||
  fail "Recommends is '$(dpkg-deb -f "$deb" Recommends)'"
# The programs are made of the library's code; the development files go with the library.
for package in "$deb" "$dev_deb"; do
  [[ ", $(dpkg-deb -f "$package" Depends), " == *", libzem1 (= $version), "* ]] ||
    fail "$(dpkg-deb -f "$package" Package) doesn't depend on libzem1 (= $version)"
done
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

# The library: its SONAME names the package, its shlibs and symbols files tell packages built on
# it what to depend on, and dpkg's trigger runs ldconfig.
dpkg-deb -x "$lib_deb" "$scratch/lib"
shared=$(cd "$scratch/lib" && find . -name 'libzem.so.*' -type f)
libdir=${shared%/*}
[[ "$libdir" == ./usr/lib* ]] || fail "the library is in $libdir"
actual=$(cd "$scratch/lib" && find . ! -type d | LC_ALL=C sort)
expected_lib="$libdir/libzem.so.1
$libdir/libzem.so.$version
./usr/share/doc/libzem1/changelog.gz
./usr/share/doc/libzem1/copyright"
[ "$actual" = "$expected_lib" ] || fail "libzem1's files:"$'\n'"$actual"
[ "$(readlink "$scratch/lib/$libdir/libzem.so.1")" = "libzem.so.$version" ] || fail "libzem.so.1"
LC_ALL=C readelf -d "$scratch/lib/$shared" | grep -q 'Library soname: \[libzem\.so\.1\]' ||
  fail "the library's SONAME is not libzem.so.1"
! LC_ALL=C readelf -S "$scratch/lib/$shared" | grep -qE '\.(symtab|debug_info)' ||
  fail "the library is not stripped"
[ "$(dpkg-deb --ctrl-tarfile "$lib_deb" | tar -xO ./shlibs)" = "libzem 1 libzem1 (>= $version)" ] ||
  fail "libzem1's shlibs file"
[ "$(dpkg-deb --ctrl-tarfile "$lib_deb" | tar -xO ./triggers)" = "activate-noawait ldconfig" ] ||
  fail "libzem1's triggers file"
# The symbols file lists exactly what the library exports, each with a version no later than this.
symbols=$(dpkg-deb --ctrl-tarfile "$lib_deb" | tar -xO ./symbols)
[ "$(head -n 1 <<<"$symbols")" = "libzem.so.1 libzem1 #MINVER#" ] || fail "libzem1's symbols file"
listed=$(sed -n 's/^ \([^ ]*\) \(.*\)$/\1/p' <<<"$symbols" | LC_ALL=C sort)
# nm shows the version node itself (type A) by its bare name.
exported=$(nm -D --defined-only "$scratch/lib/$shared" |
  awk '$2 == "A" { $3 = $3 "@" $3 } { sub("@@", "@", $3); print $3 }' | LC_ALL=C sort)
[ "$listed" = "$exported" ] ||
  fail "libzem1's symbols file lists:"$'\n'"$listed"$'\n'"the library exports:"$'\n'"$exported"
while read -r since; do
  dpkg --compare-versions "$since" le "$version" || fail "libzem1's symbols file names $since"
done < <(sed -n 's/^ [^ ]* \(.*\)$/\1/p' <<<"$symbols")

# The development files: the header, the link to the library, the static library, pkg-config's
# and CMake's files, the manual page.
dpkg-deb -x "$dev_deb" "$scratch/dev"
actual=$(cd "$scratch/dev" && find . ! -type d | LC_ALL=C sort)
expected_dev="./usr/include/zem.h
$libdir/cmake/zem/zemConfig.cmake
$libdir/cmake/zem/zemConfigVersion.cmake
$libdir/libzem.a
$libdir/libzem.so
$libdir/pkgconfig/zem.pc
./usr/share/doc/libzem-dev/changelog.gz
./usr/share/doc/libzem-dev/copyright
./usr/share/man/man3/zem.3.gz"
[ "$actual" = "$expected_dev" ] || fail "libzem-dev's files:"$'\n'"$actual"
[ "$(readlink "$scratch/dev/$libdir/libzem.so")" = libzem.so.1 ] || fail "libzem.so"
cmp "$scratch/dev/usr/include/zem.h" "$source_dir/include/zem.h"
gzip -dc "$scratch/dev/usr/share/man/man3/zem.3.gz" | cmp - "$source_dir/docs/man/zem.3"
# The Python package: the module's sources, the same for every architecture, over libzem1.
dpkg-deb -x "$py_deb" "$scratch/py"
site=./usr/lib/python3/dist-packages/zem
actual=$(cd "$scratch/py" && find . ! -type d | LC_ALL=C sort)
expected_py="$site/__init__.py
$site/__main__.py
$site/_library.py
$site/py.typed
./usr/share/doc/python3-zem/changelog.gz
./usr/share/doc/python3-zem/copyright"
[ "$actual" = "$expected_py" ] || fail "python3-zem's files:"$'\n'"$actual"
for file in __init__.py __main__.py _library.py py.typed; do
  cmp "$scratch/py/$site/$file" "$source_dir/python/zem/$file"
done
[ "$(dpkg-deb -f "$py_deb" Architecture)" = all ] || fail "python3-zem is not Architecture: all"
[ "$(dpkg-deb -f "$py_deb" Depends)" = "libzem1 (>= $version), python3:any" ] ||
  fail "python3-zem depends on '$(dpkg-deb -f "$py_deb" Depends)'"

for dir in lib dev py; do
  for doc in "$scratch/$dir"/usr/share/doc/*; do
    cmp "$doc/copyright" "$scratch/x/usr/share/doc/zem-builder/copyright"
    cmp "$doc/changelog.gz" "$scratch/x/usr/share/doc/zem-builder/changelog.gz"
  done
done

# The MIME database is rebuilt by dpkg's trigger on /usr/share/mime/packages, the icon cache by
# the icon theme's, the loader's cache by ldconfig's: no package needs maintainer scripts of its
# own.
for package in "${debs[@]}"; do
  control=$(dpkg-deb --ctrl-tarfile "$package" | tar -t)
  ! grep -Eq '(preinst|postinst|prerm|postrm)$' <<<"$control" ||
    fail "${package##*/} has maintainer scripts:"$'\n'"$control"
done

# Install and remove in a scratch root: the libraries it depends on live outside that root.
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg_root=(dpkg --root="$root" --log=/dev/null --force-depends)
[ "$(id -u)" = 0 ] || dpkg_root+=(--force-not-root)
"${dpkg_root[@]}" -i "${debs[@]}" >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log" >&2; fail "dpkg -i failed"; }
for file in "${expected[@]}" $expected_lib $expected_dev $expected_py; do
  [ -e "$root/${file#./}" ] || fail "not installed: $file"
done
usage=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/zem-builder" </dev/null || true)
[[ "$usage" == "To run the ZEM Builder, put all your files"* ]] || fail "installed program: $usage"
# The installed module over the installed library lists as the installed zem does. A sanitizer
# build's library needs the sanitizer's runtime loaded before Python (tests/python does that).
if command -v python3 >/dev/null &&
   ! LC_ALL=C readelf -d "$scratch/lib/$shared" | grep -q 'libasan'; then
  "$root/usr/bin/zem" create -o "$scratch/sample.zem" "$source_dir/examples/sample"
  listed=$(PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$root/${site%/zem}" \
           LD_LIBRARY_PATH="$root/${libdir#./}" python3 -m zem list "$scratch/sample.zem") ||
    fail "python3 -m zem list failed"
  [ "$listed" = "$("$root/usr/bin/zem" list "$scratch/sample.zem")" ] ||
    fail "the installed module lists:"$'\n'"$listed"
fi
"${dpkg_root[@]}" -r zem-builder python3-zem libzem-dev libzem1 >>"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log" >&2; fail "dpkg -r failed"; }
left=$(cd "$root" && find usr -mindepth 1 2>/dev/null || true)
[ -z "$left" ] || fail "left behind after removal:"$'\n'"$left"
echo "packages ok: $(cd "$scratch/out" && echo *.deb)"
