#!/usr/bin/env bash
# The Debian package as lintian sees it: no error. Warnings and notes are printed for the record
# (docs/desktop.md lists the ones accepted and why); only errors fail.
# Usage: lintian_test.sh BUILD_FOLDER
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
need cpack lintian
build=$(cd "${1:?usage: lintian_test.sh BUILD_FOLDER}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$build" && cpack -G DEB -B "$scratch/out") >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack -G DEB failed"; }
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, got: ${debs[*]}"
# lintian exits non-zero for errors; its tags also say their level in their first letter.
report=$(lintian --tag-display-limit 0 "${debs[0]}" 2>&1) || true
printf '%s\n' "$report"
! grep -q '^E: ' <<<"$report" || fail "lintian reports errors"
echo "lintian: no errors"
