#!/usr/bin/env bash
# Creates the Wine prefix of this build once (WINEPREFIX, set by CTest); later runs find it ready.
set -euo pipefail
: "${WINEPREFIX:?}"
if [ -f "$WINEPREFIX/system.reg" ]; then
  exit 0
fi
# The first start builds a whole Windows folder tree and registry: slow, but once per build.
timeout 300 wineboot -i
wineserver -w
test -f "$WINEPREFIX/system.reg"
