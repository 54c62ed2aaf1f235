#!/usr/bin/env bash
# The Windows suite: cross-builds zem-builder.exe and its tests with mingw-w64, runs the tests
# under Wine, the real windowed program end to end on a virtual display (Xvfb, xdotool), checks
# its resources (icoutils), makes the setup program (NSIS) and tests it under Wine, and makes the
# zip. Called by scripts/test.sh.
#
# When a tool is missing it is installed first if this runs as root with apt-get; otherwise the
# suite is skipped (exit code 77) with a message saying why, except in CI (CI=true), where that
# is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

# Debian packages, each with a file that shows it is there.
packages=(
  g++-mingw-w64-x86-64-posix:/usr/bin/x86_64-w64-mingw32-g++-posix
  googletest:/usr/src/googletest/CMakeLists.txt
  wine:/usr/bin/wine
  wine64:/usr/lib/wine/wine64
  fonts-wine:/usr/share/doc/fonts-wine
  xvfb:/usr/bin/Xvfb
  xdotool:/usr/bin/xdotool
  icoutils:/usr/bin/wrestool
  imagemagick:/usr/bin/import
  python3:/usr/bin/python3
  nsis:/usr/bin/makensis
)
missing=()
for entry in "${packages[@]}"; do
  [ -e "${entry#*:}" ] || missing+=("${entry%%:*}")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== installing for the Windows suite: ${missing[*]}"
    scripts/install-deps.sh "${missing[@]}"
  elif [ "${CI:-}" = true ]; then
    echo "Windows suite: missing ${missing[*]}, and no root with apt-get to install them" >&2
    exit 1
  else
    echo "== Windows suite SKIPPED: missing ${missing[*]}."
    echo "   Run scripts/test.sh as root (it installs them with apt-get), or install them yourself."
    exit 77
  fi
fi

# The Linux program writes the reference archives that the Windows program's must match.
linux_builder=build/test/zem-builder
if [ ! -x "$linux_builder" ]; then
  cmake -S . -B build/test -DZEM_WERROR=ON >/dev/null
  cmake --build build/test -j"$jobs" --target zem-builder
fi

dir=build/win64
echo "== $dir (Windows x86-64, tests under Wine)"
toolchain=()  # given once: CMake keeps it in the cache and warns when it is given again
[ -f "$dir/CMakeCache.txt" ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
cmake -S . -B "$dir" "${toolchain[@]}" -DZEM_WERROR=ON \
  -DZEM_LINUX_BUILDER="$PWD/$linux_builder" >/dev/null
cmake --build "$dir" -j"$jobs"
ctest --test-dir "$dir" --output-on-failure -j"$jobs"

cmake --build "$dir" --target package >/dev/null
zip=$(ls "$PWD/$dir"/zem-builder-*-win64.zip)
top=$(basename "$zip" .zip)
contents=$(cmake -E tar tf "$zip" | LC_ALL=C sort | tr '\n' ' ')
expected="$top/LICENSE.txt $top/README.txt $top/zem-builder.exe $top/zem-viewer.exe $top/zem.exe "
if [ "$contents" != "$expected" ]; then
  echo "$zip holds: $contents (expected $expected)" >&2
  exit 1
fi
# Text files with Windows line ends: every line break is CR LF.
unpacked=$(mktemp -d)
(cd "$unpacked" && cmake -E tar xf "$zip")
for text in README.txt LICENSE.txt; do
  if grep -qv $'\r$' "$unpacked/$top/$text" || ! grep -q 'zem.exe create' "$unpacked/$top/README.txt"; then
    echo "$zip: $text lacks CR LF line ends, or README.txt doesn't name zem.exe create" >&2
    rm -rf "$unpacked"
    exit 1
  fi
done
rm -rf "$unpacked"
echo "== $zip: $contents"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
setup=$dir/zem-builder-$version-setup.exe
[ -f "$setup" ] || { echo "no $setup: the build should have made it with makensis" >&2; exit 1; }
echo "== $setup"
