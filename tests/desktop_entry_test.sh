#!/usr/bin/env bash
# The launcher: a valid desktop entry that runs the program on the dropped folder without a
# terminal, with the program's icon, and that claims no file type (so it never becomes the
# default program for opening folders).
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
need desktop-file-validate
entry=${1:?usage: desktop_entry_test.sh DESKTOP_FILE}

desktop-file-validate "$entry" || fail "desktop-file-validate rejects $entry"
for line in 'Type=Application' 'Exec=zem-builder %f' 'Terminal=false' 'Icon=zem-builder'; do
  grep -qx -- "$line" "$entry" || fail "$entry lacks the line $line"
done
! grep -q '^MimeType=' "$entry" || fail "$entry has a MimeType line"
echo "desktop entry ok"
