#!/usr/bin/env bash
# Builds and runs every test: a bounded fuzzing run of the reader, the suite with warnings as
# errors, the same suite under AddressSanitizer and UndefinedBehaviorSanitizer, then the Windows
# suite under Wine. Installs what is missing first when it runs as root with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null ||
   [ ! -e /usr/include/gtest/gtest.h ] || [ ! -e /usr/share/zoneinfo/Europe/Berlin ]; then
  scripts/install-deps.sh
fi
scripts/install-desktop-deps.sh

run_suite() {  # name, extra cmake options...
  local dir=build/$1
  shift
  echo "== $dir"
  cmake -S . -B "$dir" -DZEM_WERROR=ON -DZEM_REQUIRE_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

scripts/test-fuzz.sh  # the reader under libFuzzer for a bounded time (60 s in CI)
run_suite test
run_suite sanitize -DZEM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
scripts/test-windows.sh
