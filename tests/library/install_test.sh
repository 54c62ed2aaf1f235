#!/usr/bin/env bash
# libzem as another program builds on it: cmake --install into a scratch prefix, then the example
# examples/print_entry.c built through pkg-config and through find_package(zem) (zem::zem and
# zem::zem_static), each run on an archive the installed zem made, printing a file's bytes; and
# the Python package listing that archive.
# Usage: install_test.sh BUILD_FOLDER SOURCE_FOLDER C_COMPILER [FLAGS [PYTHON]], PYTHON ON where the
# build installs the Python package.
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/../tool_check.sh"
need pkg-config cmake readelf
build=$(cd "${1:?usage: install_test.sh BUILD_FOLDER SOURCE_FOLDER C_COMPILER [FLAGS [PYTHON]]}" && pwd)
source_dir=$(cd "${2:?}" && pwd)
cc=${3:?}
read -r -a flags <<<"${4:-}"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log" >&2; fail "cmake --install failed"; }
pc=$(find "$prefix" -name zem.pc)
[ -n "$pc" ] || fail "no zem.pc installed"
export PKG_CONFIG_PATH=${pc%/*}
[ "$(pkg-config --modversion zem)" = "$(sed -n 's/^project([^)]* VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")" ] ||
  fail "zem.pc gives version $(pkg-config --modversion zem)"

sample=$source_dir/examples/sample
"$prefix/bin/zem" create --sort=name -o "$scratch/sample.zem" "$sample"
# Runs an example build: the file's bytes as stored, and a refusal of a name not stored.
check() {  # NAME EXECUTABLE
  "$2" "$scratch/sample.zem" 'data\2026\scores.csv' >"$scratch/out" || fail "$1: exit code $?"
  cmp "$scratch/out" "$sample/data/2026/scores.csv" || fail "$1: wrong bytes"
  ! "$2" "$scratch/sample.zem" 'data/2026/scores.csv' 2>"$scratch/err" ||
    fail "$1: found a name that isn't stored"
  grep -q 'holds no' "$scratch/err" || fail "$1: $(cat "$scratch/err")"
}

"$cc" "${flags[@]}" $(pkg-config --cflags zem) "$source_dir/examples/print_entry.c" \
  -o "$scratch/with-pkg-config" $(pkg-config --libs zem) \
  -Wl,-rpath,"$(pkg-config --variable=libdir zem)"
check pkg-config "$scratch/with-pkg-config"

for kind in shared static; do
  static=OFF
  [ $kind = static ] && static=ON
  cmake -S "$source_dir/examples" -B "$scratch/$kind" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="${flags[*]}" -DZEM_EXAMPLE_STATIC=$static \
    >"$scratch/$kind.log" 2>&1 && cmake --build "$scratch/$kind" >>"$scratch/$kind.log" 2>&1 ||
    { cat "$scratch/$kind.log" >&2; fail "find_package build ($kind) failed"; }
  check "find_package ($kind)" "$scratch/$kind/print_entry"
  needed=$(LC_ALL=C readelf -d "$scratch/$kind/print_entry")
  if [ $kind = shared ]; then
    grep -q 'libzem\.so\.1' <<<"$needed" || fail "the shared example doesn't load libzem.so.1"
  else
    ! grep -q 'libzem' <<<"$needed" || fail "the static example loads libzem"
  fi
done
# The Python package went into the interpreter's site folder below the prefix, and finds the
# library there without the loader being told (a sanitizer build's library needs the sanitizers'
# runtime loaded before Python: not tried there).
if [ "${5:-OFF}" = ON ] && [ -z "${4:-}" ]; then
  package=$(find "$prefix" -path '*-packages/zem/__init__.py')
  [ -n "$package" ] || fail "the Python package is not installed"
  listed=$(env -u LD_LIBRARY_PATH PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="${package%/zem/*}" \
           python3 -m zem list "$scratch/sample.zem") || fail "python3 -m zem list failed"
  [ "$listed" = "$("$prefix/bin/zem" list "$scratch/sample.zem")" ] ||
    fail "the installed Python package lists:"$'\n'"$listed"
fi
echo "installed library ok"
