# Sourced by the shell tests: need TOOL... ends the test when a tool is missing, as a skip (exit 77,
# which CTest reports as skipped) on a developer's machine and as a failure in CI (CI=true), where
# scripts/install-desktop-deps.sh must have installed everything.
need() {
  local missing=""
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || missing+=" $tool"
  done
  [ -z "$missing" ] && return 0
  if [ "${CI:-}" = true ]; then
    echo "FAIL: missing$missing (scripts/install-desktop-deps.sh installs them)" >&2
    exit 1
  fi
  echo "SKIP: missing$missing; run scripts/install-desktop-deps.sh as root to install them" >&2
  exit 77
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# make_debs BUILD_FOLDER SCRATCH: the build's Debian packages, made with cpack into SCRATCH/out:
# the programs' (zem-builder), the shared library's (libzem1), the development files'
# (libzem-dev) and the Python package's (python3-zem). Sets deb, lib_deb, dev_deb and py_deb to
# their paths, and debs to all four.
make_debs() {
  (cd "$1" && cpack -G DEB -B "$2/out") >"$2/cpack.log" 2>&1 ||
    { cat "$2/cpack.log" >&2; fail "cpack -G DEB failed"; }
  debs=("$2"/out/*.deb)
  local names
  names=$(cd "$2/out" && ls -- *.deb | sed 's/_.*//' | LC_ALL=C sort | tr '\n' ' ')
  [ "$names" = "libzem-dev libzem1 python3-zem zem-builder " ] ||
    fail "expected four packages, got: $names"
  deb=$(echo "$2"/out/zem-builder_*.deb)
  lib_deb=$(echo "$2"/out/libzem1_*.deb)
  dev_deb=$(echo "$2"/out/libzem-dev_*.deb)
  py_deb=$(echo "$2"/out/python3-zem_*.deb)
}
