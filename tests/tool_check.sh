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

# make_deb BUILD_FOLDER SCRATCH: the build's Debian package, made with cpack into SCRATCH/out;
# sets deb to its path.
make_deb() {
  (cd "$1" && cpack -G DEB -B "$2/out") >"$2/cpack.log" 2>&1 ||
    { cat "$2/cpack.log" >&2; fail "cpack -G DEB failed"; }
  local debs=("$2"/out/*.deb)
  [ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, got: ${debs[*]}"
  deb=${debs[0]}
}
