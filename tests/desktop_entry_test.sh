#!/usr/bin/env bash
# The launcher: a valid desktop entry that runs the program on the dropped folder without a
# terminal, with the program's icon, and that opens .zem archives but claims no other type (in
# particular not folders, so it never becomes the default program for opening them). It has no
# actions: a launcher's menu passes no file (file_manager_test.py tests the file managers' ones).
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
need desktop-file-validate
entry=${1:?usage: desktop_entry_test.sh DESKTOP_FILE}

desktop-file-validate "$entry" || fail "desktop-file-validate rejects $entry"
for line in 'Type=Application' 'Exec=zem-builder %f' 'Terminal=false' 'Icon=zem-builder' \
            'MimeType=application/x-zem;'; do
  grep -qxF -- "$line" "$entry" || fail "$entry lacks the line $line"
done
! grep -q '^Actions=' "$entry" || fail "$entry has actions, which would run without a file"
[ "$(grep -c '^MimeType=' "$entry")" = 1 ] || fail "$entry has more than one MimeType line"
echo "desktop entry ok"
