#!/usr/bin/env bash
# The shared library's interface against the baseline res/libzem.abi: a removed or changed
# function or type fails; an addition passes and is shown, for the baseline to follow with the
# release. With --update, writes the baseline instead (cmake --build BUILD --target abi-baseline).
# Usage: abi_test.sh [--update] LIBZEM_SO SOURCE_FOLDER
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/../tool_check.sh"
need abidw abidiff readelf
update=false
if [ "${1:-}" = --update ]; then
  update=true
  shift
fi
library=${1:?usage: abi_test.sh [--update] LIBZEM_SO SOURCE_FOLDER}
source_dir=$(cd "${2:?}" && pwd)
baseline=$source_dir/res/libzem.abi
# Without debugging information only the symbols could be compared, not the types.
LC_ALL=C readelf -S "$library" | grep -q '\.debug_info' || {
  echo "SKIP: $library has no debugging information (a build type without -g)" >&2
  exit 77
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The types of include/zem.h that the exported functions reach; the handles stay opaque. Neither
# paths nor the libraries it loads belong to the interface.
abidw --headers-dir "$source_dir/include" --drop-private-types --exported-interfaces-only \
  --no-corpus-path --no-comp-dir-path --no-show-locs --no-elf-needed \
  --out-file "$scratch/current.abi" "$library"
if $update; then
  cp "$scratch/current.abi" "$baseline"
  echo "wrote $baseline"
  exit 0
fi
code=0
abidiff "$baseline" "$scratch/current.abi" >"$scratch/report" || code=$?
cat "$scratch/report"
# abidiff's exit code is a bit set: 1 a failure of its own, 2 wrong use, 4 a change, 8 an
# incompatible change. A change is only an addition when nothing was removed or changed.
(( (code & 3) == 0 )) || fail "abidiff itself failed (exit code $code)"
(( (code & 8) == 0 )) || fail "the library's ABI changed incompatibly (above)"
if (( code & 4 )); then
  ! grep -E 'summary: ([1-9][0-9]* Removed|[0-9]+ Removed, [1-9][0-9]* Changed)' "$scratch/report" ||
    fail "the library's ABI changed (above)"
  echo "additions only (above): update res/libzem.abi with the release"
fi
echo "ABI ok"
