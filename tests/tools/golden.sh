#!/usr/bin/env bash
# Every committed recording converted by eptl against its golden form in
# tests/data/golden/: the snapshot's sections (scripts/compare_snapshots.py
# --digest) and what `eptl inspect --json` reads from it. Module files are
# read from tests/data/modules alone, never from the paths the recordings
# name, which lie on the machine that recorded them. A difference is printed
# and fails; after a deliberate change, --update writes the new forms (review
# them with git diff).
#
#   tests/tools/golden.sh EPTL CORPUS_DIR [--update]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
eptl=$1 corpus=$2 update=${3:-}
golden=$here/tests/data/golden
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
for recording in "$here"/tests/data/*.nettrace "$corpus"/*.nettrace; do
  name=$(basename "$recording" .nettrace)
  "$eptl" convert "$recording" --modules-only --modules "$here/tests/data/modules" -o "$work/s.dtt" >/dev/null 2>&1
  python3 "$here/scripts/compare_snapshots.py" --digest "$work/s.dtt" >"$work/$name.sections"
  "$eptl" inspect --json "$work/s.dtt" >"$work/$name.inspect.json"
  for form in sections inspect.json; do
    if [[ $update == --update ]]; then
      cp "$work/$name.$form" "$golden/$name.$form"
    elif ! diff -u "$golden/$name.$form" "$work/$name.$form"; then
      echo "$name: the $form differ from the golden ones"
      status=1
    fi
  done
  rm -f "$work"/s.dtt*
done
exit $status
