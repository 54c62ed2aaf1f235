#!/usr/bin/env bash
# The manual pages: mandoc's lint finds nothing at warning level or above (the style notes it
# also gives, such as a referenced page this machine lacks, don't count), each program's page
# names every command and option that the program's help names, and the library's page every
# function of its header.
# Usage: man_test.sh MAN_FOLDER ZEM_EXE ZEM_BUILDER_EXE
set -euo pipefail
source "${BASH_SOURCE[0]%/*}/tool_check.sh"
need mandoc
man=${1:?usage: man_test.sh MAN_FOLDER ZEM_EXE ZEM_BUILDER_EXE}
zem=${2:?}
builder=${3:?}
for page in "$man"/*.[13]; do
  mandoc -Tlint -W warning "$page" || fail "mandoc -Tlint $page"
done
text=$(mandoc -Tascii "$man/zem.1" | col -b)
# The commands as zem's help lists them, so that a new one can't miss its page.
commands=$("$zem" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z]\+\) .*/\1/p')
[ -n "$commands" ] || fail "no commands in zem --help"
for command in $commands; do
  for option in $("$zem" "$command" --help | grep -oE -- '--[a-z-]+' | sort -u); do
    grep -qF -- "$option" <<<"$text" || fail "zem.1 lacks $command's $option"
  done
  grep -qE "^ +zem $command" <<<"$text" || fail "zem.1's synopsis lacks $command"
done
text=$(mandoc -Tascii "$man/zem-builder.1" | col -b)
for option in $("$builder" --help | grep -oE -- '--[a-z-]+' | sort -u); do
  grep -qF -- "$option" <<<"$text" || fail "zem-builder.1 lacks $option"
done
# The library's page, where there is one, names every function of its header.
header=$man/../../include/zem.h
if [ -f "$man/zem.3" ] && [ -f "$header" ]; then
  text=$(mandoc -Tascii "$man/zem.3" | col -b)
  for function in $(grep -oE '\bzem_[a-z_]+\(' "$header" | tr -d '(' | sort -u); do
    grep -qw -- "$function" <<<"$text" || fail "zem.3 lacks $function"
  done
fi
echo "man pages ok"
