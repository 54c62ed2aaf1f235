#!/usr/bin/env bash
# The launcher: a valid desktop entry that runs the program on the dropped folder without a
# terminal, with the program's icon, and that opens .zem archives but claims no other type (in
# particular not folders, so it never becomes the default program for opening them); its action
# "Open as folder" mounts an archive instead (open_folder_test.sh runs it).
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
need desktop-file-validate
entry=${1:?usage: desktop_entry_test.sh DESKTOP_FILE}

desktop-file-validate "$entry" || fail "desktop-file-validate rejects $entry"
for line in 'Type=Application' 'Exec=zem-builder %f' 'Terminal=false' 'Icon=zem-builder' \
            'MimeType=application/x-zem;' 'Actions=open-as-folder;' \
            '[Desktop Action open-as-folder]' 'Name=Open as folder' 'Exec=zem-open-folder %f'; do
  grep -qxF -- "$line" "$entry" || fail "$entry lacks the line $line"
done
[ "$(grep -c '^MimeType=' "$entry")" = 1 ] || fail "$entry has more than one MimeType line"
echo "desktop entry ok"
