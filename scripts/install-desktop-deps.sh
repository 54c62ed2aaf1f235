#!/usr/bin/env bash
# Installs what the desktop tests need, when it is missing and this runs as root with apt-get:
# zenity and Xvfb, xdotool and ImageMagick's import and identify (the GUI test and its
# screenshots), strace (it stops the program at one file's opening so that the progress window
# is cancelled while the copy is held), desktop-file-utils, shared-mime-info, xdg-utils and gio
# (the file type test), dpkg-dev (the .deb's dependencies), lintian (the .deb's check) and python3
# (the icon test). Elsewhere
# it says what is missing; those tests then report themselves skipped (and fail in CI).
set -euo pipefail
cd "$(dirname "$0")/.."
missing=()
for pair in zenity:zenity Xvfb:xvfb xdotool:xdotool import:imagemagick strace:strace \
            desktop-file-validate:desktop-file-utils update-mime-database:shared-mime-info \
            xdg-mime:xdg-utils gio:libglib2.0-bin dpkg-shlibdeps:dpkg-dev python3:python3 lintian:lintian; do
  command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
done
[ ${#missing[@]} = 0 ] && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  exec scripts/install-deps.sh "${missing[@]}"
fi
echo "install-desktop-deps: missing ${missing[*]}; the desktop tests will be skipped" >&2
