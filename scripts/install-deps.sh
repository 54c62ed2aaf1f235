#!/usr/bin/env bash
# Installs what building and testing need, on a Debian or Ubuntu machine, as root.
# Usage: scripts/install-deps.sh [package ...]   (extra packages are installed too)
set -euo pipefail
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
  echo "install-deps: needs root and apt-get; install by hand: cmake g++ make libgtest-dev tzdata $*" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ -z "${ZEM_APT_UPDATED:-}" ]; then
  apt-get update -q
  export ZEM_APT_UPDATED=1
fi
apt-get install -y -q --no-install-recommends cmake g++ make libgtest-dev tzdata "$@"
