#!/usr/bin/env bash
# Installs what building and testing need, on a Debian or Ubuntu machine, as root.
# Usage: scripts/install-deps.sh [package ...]   (extra packages are installed too)
# Beyond the compiler and GoogleTest: CLI11 (zem's command line), libfuse 3 and fuse3 (zem mount),
# liburing (batched reads of small files), NSIS (the Windows installer), mandoc (the man pages'
# lint), bash-completion (the completion test) and lintian (the Debian package's check).
set -euo pipefail
packages=(cmake g++ make libgtest-dev tzdata pkg-config libcli11-dev libfuse3-dev fuse3 liburing-dev
          nsis mandoc bash-completion lintian)
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
