#!/usr/bin/env bash
# Converts every committed recording (or the ones given) with two builds of
# eptl and compares the two snapshots of each with scripts/compare_snapshots.py.
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
  for z in tests/data/public/*.zip; do python3 -m zipfile -e "$z" "$work/unzipped"; done
  recordings+=("$work"/unzipped/*.nettrace)
fi

status=0
for r in "${recordings[@]}"; do
  name=$(basename "$r")
  mkdir -p "$work/a/$name" "$work/b/$name"
  "$a" convert "$r" -o "$work/a/$name/s.dtt" >/dev/null 2>&1
  "$b" convert "$r" -o "$work/b/$name/s.dtt" >/dev/null 2>&1
  printf '%s: ' "$name"
  python3 scripts/compare_snapshots.py "$work/a/$name/s.dtt" "$work/b/$name/s.dtt" | sed "s|$work/a/$name/||" ||
    status=1
done
exit $status
