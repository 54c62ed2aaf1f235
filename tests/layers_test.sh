#!/usr/bin/env bash
# The sources' layers run one way: each folder of src/ includes only from itself and the folders
# below it, and the archive's format makes no system calls. Fails naming every include that runs
# back up (or sideways between programs), and every system header in src/format.
#   tests/layers_test.sh [SOURCE_ROOT]
set -euo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root/src"

# What each folder may include besides itself, from the ground up.
declare -A below=(
  [common]=""
  [format]="common"
  [platform]="common format"
  [ops]="common format platform"
  [builder]="common format platform ops"
  [zem]="common format platform ops"
  [lib]="common format platform ops"
  [viewer]="common format platform ops builder"
)

status=0
for folder in */; do
  folder=${folder%/}
  if [ -z "${below[$folder]+known}" ]; then
    echo "src/$folder: a folder of no layer (add it to tests/layers_test.sh)" >&2
    status=1
    continue
  fi
  allowed=" $folder ${below[$folder]} "
  while IFS=: read -r file line text; do
    target=$(sed -n 's/^#include "\([^/"]*\)\/.*"/\1/p' <<<"$text")
    [ -n "$target" ] || continue  # a header of this folder by its bare name, or include/zem.h
    if [[ "$allowed" != *" $target "* ]]; then
      echo "src/$file:$line: $folder includes from $target, which is not below it: $text" >&2
      status=1
    fi
  done < <(grep -rn '^#include "' "$folder" || true)
done

# The format is the fuzz target's whole program: no header of the system's own.
while IFS= read -r hit; do
  echo "src/$hit: the format makes no system calls" >&2
  status=1
done < <(grep -rnE '^#include <(unistd\.h|fcntl\.h|dirent\.h|sys/|linux/|windows\.h|winternl\.h|fstream|filesystem)' format || true)

[ "$status" = 0 ] && echo "layers: every include runs down"
exit "$status"
