#!/usr/bin/env bash
# Builds and runs every test, in stages: what is missing is installed first (when this runs as
# root with apt-get), then a bounded fuzzing run of the reader, the suite with warnings as errors,
# the same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows suite
# under Wine. A failed stage doesn't stop the ones after it. The last line is the verdict: how
# many stages passed and failed, and which; the exit code is 1 when any failed. A stage whose
# tools are missing (exit code 77, never in CI) counts as skipped.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
jobs=$(nproc 2>/dev/null || echo 2)

passed=0
failed=()
skipped=()
stage() {  # name, command...
  local name=$1 code=0
  shift
  echo "== stage $name"
  "$@" || code=$?
  case $code in
    0) passed=$((passed + 1)) ;;
    77) skipped+=("$name") ;;
    *)
      failed+=("$name")
      echo "== stage $name FAILED (exit code $code)"
      ;;
  esac
}

# No errexit: a stage's commands chain with &&, and its exit code is its result.
dependencies() {
  if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null ||
     [ ! -e /usr/include/gtest/gtest.h ] || [ ! -e /usr/share/zoneinfo/Europe/Berlin ] ||
     [ ! -e /usr/include/CLI/CLI.hpp ] || [ ! -e /usr/include/fuse3/fuse.h ] ||
     ! command -v makensis >/dev/null ||
     ! command -v mandoc >/dev/null || [ ! -e /usr/share/bash-completion/bash_completion ] ||
     ! command -v abidiff >/dev/null || ! PATH="$PATH:/usr/sbin:/sbin" command -v mkfs.xfs >/dev/null ||
     ! PATH="$PATH:/usr/sbin:/sbin" command -v mkfs.btrfs >/dev/null; then
    scripts/install-deps.sh || return
  fi
  scripts/install-desktop-deps.sh
}

suite() {  # build folder under build/, extra cmake options...
  local dir=build/$1
  shift
  cmake -S . -B "$dir" -DZEM_WERROR=ON "$@" >/dev/null &&
    cmake --build "$dir" -j"$jobs" &&
    ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

stage dependencies dependencies
stage fuzz scripts/test-fuzz.sh  # the reader under libFuzzer for a bounded time (60 s in CI)
stage test suite test
stage sanitize suite sanitize -DZEM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
stage windows scripts/test-windows.sh

names() {  # a list for the verdict: "a, b"
  local list
  list=$(printf ', %s' "$@")
  echo "${list#, }"
}
verdict="test.sh: $passed passed, ${#failed[@]} failed"
[ ${#failed[@]} = 0 ] || verdict+=" ($(names "${failed[@]}"))"
[ ${#skipped[@]} = 0 ] || verdict+=", ${#skipped[@]} skipped ($(names "${skipped[@]}"))"
echo "$verdict"
[ ${#failed[@]} = 0 ]
