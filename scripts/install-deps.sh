#!/usr/bin/env bash
# Installs what building and testing need, on a Debian or Ubuntu machine, as root.
# Usage: scripts/install-deps.sh [package ...]   (extra packages are installed too)
#        scripts/install-deps.sh --build         (only what building the programs needs; nothing
#                                                 to do, and no root needed, when it is there)
# Beyond the compiler: CLI11 (zem's command line) and libfuse 3 (zem mount) to build; for the
# tests GoogleTest, fuse3, NSIS (the Windows installer), mandoc (the man pages' lint),
# bash-completion (the completion test), lintian (the Debian packages' check), abigail-tools
# (the library's ABI check) and xfsprogs and btrfs-progs (the crash tests' file systems).
set -euo pipefail
build_packages=(cmake g++ make pkg-config libcli11-dev libfuse3-dev)
packages=("${build_packages[@]}" libgtest-dev tzdata fuse3 nsis mandoc bash-completion lintian
  abigail-tools xfsprogs btrfs-progs)
if [ "${1:-}" = --build ]; then
  shift
  packages=("${build_packages[@]}")
  installed=$(dpkg-query -W -f='${Status}\n' "${packages[@]}" 2>/dev/null | grep -c ' ok installed$' || true)
  [ "$installed" = ${#packages[@]} ] && exit 0  # all there: nothing to do
fi
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
  echo "install-deps: needs root and apt-get; install by hand: ${packages[*]} $*" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ -z "${ZEM_APT_UPDATED:-}" ]; then
  apt-get update -q
  export ZEM_APT_UPDATED=1
fi
apt-get install -y -q --no-install-recommends "${packages[@]}" "$@"
