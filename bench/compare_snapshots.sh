#!/usr/bin/env bash
# Converts every committed recording with two builds of eptl and compares the
# snapshots section by section. Sections that differ from run to run by
# design are left out: 0 and 1 (the snapshot's random identifiers) and 2176
# (the converting process's own thread ids).
#
#   bench/compare_snapshots.sh EPTL_A EPTL_B [RECORDING...]
set -euo pipefail
cd "$(dirname "$0")/.."
a=$(realpath "$1") b=$(realpath "$2")
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

recordings=("$@")
if [[ ${#recordings[@]} -eq 0 ]]; then
  recordings=(tests/data/*.nettrace)
  for z in tests/data/public/*.zip; do
    unzip -q -o "$z" -d "$work/unzipped"
  done
  recordings+=("$work"/unzipped/*.nettrace)
fi

# Prints "ID LENGTH FILE" for each section of a snapshot. An empty section
# may name the file a later section fills, so only lengths are compared then.
sections() {
  "$1" sections "$2" | awk 'NR > 2 && NF == 4 { print $1, $3, $4 }'
}

status=0
for r in "${recordings[@]}"; do
  name=$(basename "$r")
  mkdir -p "$work/a/$name" "$work/b/$name"
  "$a" convert "$r" -o "$work/a/$name/s.dtt" >/dev/null 2>&1
  "$b" convert "$r" -o "$work/b/$name/s.dtt" >/dev/null 2>&1
  differing=()
  compared=0
  if ! diff -q <(sections "$a" "$work/a/$name/s.dtt" | awk '$1 != 2176 { print $1, $2 }') \
              <(sections "$b" "$work/b/$name/s.dtt" | awk '$1 != 2176 { print $1, $2 }') >/dev/null; then
    differing+=("(section list or lengths)")
  fi
  while read -r id length file; do
    case $id in 0 | 1 | 2176) continue ;; esac
    compared=$((compared + 1))
    [[ $length -eq 0 ]] || cmp -s "$work/a/$name/$file" "$work/b/$name/$file" || differing+=("$id")
  done < <(sections "$a" "$work/a/$name/s.dtt")
  if [[ ${#differing[@]} -eq 0 ]]; then
    echo "identical  $name ($compared sections)"
  else
    echo "DIFFERENT  $name: sections ${differing[*]}"
    status=1
  fi
done
exit $status
