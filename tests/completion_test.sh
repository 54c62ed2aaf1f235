#!/usr/bin/env bash
# The bash completion for zem, loaded into bash with bash-completion as an interactive shell would:
# the commands, each command's options, .zem archives after list, verify, extract and cat,
# folders after create, and what follows the options that take a value.
# Usage: completion_test.sh COMPLETION_FILE
set -uo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
completion=$(cd "${1%/*}" && pwd)/${1##*/}
bash_completion=/usr/share/bash-completion/bash_completion
if [ ! -f "$bash_completion" ]; then
  [ "${CI:-}" = true ] && fail "bash-completion is not installed"
  echo "SKIP: bash-completion is not installed" >&2
  exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" && mkdir folder other && touch a.zem B.ZEM notes.txt

# Each case: the command line up to the cursor, then the words expected, sorted, one line.
failures=0
check() {
  local line=$1 expected=$2
  local got
  got=$(bash --norc --noprofile -c '
      source "$1" && source "$2" || exit 3
      read -ra COMP_WORDS <<<"$3"
      [[ $3 == *" " ]] && COMP_WORDS+=("")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$3 COMP_POINT=${#3}
      _zem zem "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "' \
      check "$bash_completion" "$completion" "$line")
  if [ "${got% }" != "$expected" ]; then
    echo "FAIL: '$line' offers '${got% }', expected '$expected'" >&2
    failures=$((failures + 1))
  fi
}

check "zem " "--help --version cat create extract list mount unmount verify"
check "zem c" "cat create"
check "zem list " "B.ZEM a.zem folder other"
check "zem verify a.zem " "folder other"
check "zem extract -f " "B.ZEM a.zem folder other"
check "zem extract a.zem " "folder other"
check "zem extract a.zem -C folder " ""
check "zem extract a.zem -C " "folder other"
check "zem cat " "B.ZEM a.zem folder other"
check "zem create " "folder other"
check "zem create -o " "B.ZEM a.zem folder other"
check "zem create --sort " "name none"
check "zem create --sort=n" "name none"
check "zem create --exclude " ""
check "zem create --c" "--clamp-mtime"
check "zem create --" "--clamp-mtime --directory --exclude= --files-from --help --mtime= --null --output --quiet --sort= --utc --verbose"
check "zem create -T " "B.ZEM a.zem folder notes.txt other"
check "zem create -T list -C " "folder other"
check "zem extract --" "--directory --force --help --keep-old-files --strip-components= --verbose"
check "zem extract --strip-components " ""
check "zem list -" "--help --json --verbose -v"
check "zem mount " "B.ZEM a.zem folder other"
check "zem mount a.zem " "folder other"
check "zem mount -" "--foreground --help -f"
check "zem unmount " "folder other"
[ "$failures" = 0 ] || fail "$failures completion cases"
echo "completion ok"
