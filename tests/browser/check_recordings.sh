#!/usr/bin/env bash
# Converts every committed recording, exports each snapshot in every format
# and checks the exports (check_exports.mjs): schema, format rules, and
# speedscope in headless Chromium; and eptl's own report of each snapshot in
# Chromium (check_report.mjs). Screenshots go to OUT_DIR.
#   check_recordings.sh EPTL OUT_DIR
set -euo pipefail
eptl=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
if [[ ! -d $here/node_modules ]]; then
  echo "check_recordings: $here/node_modules is missing: scripts/setup.sh installs it" >&2
  exit 1
fi
rm -rf "$out"
mkdir -p "$out"
failed=0
snapshots=()
# The public recordings are kept zipped.
for zipped in "$here"/../data/public/*.nettrace.zip; do
  python3 -m zipfile -e "$zipped" "$out/public"
done
for recording in "$here"/../data/*.nettrace "$out"/public/*.nettrace; do
  name=$(basename "$recording" .nettrace)
  snapshot="$out/$name.dtt"
  "$eptl" convert "$recording" --modules-only --modules "$here/../data/modules" -o "$snapshot" >/dev/null 2>&1
  "$eptl" export "$snapshot" --format speedscope -o "$out/$name.speedscope.json" >/dev/null
  "$eptl" export "$snapshot" --format chrome -o "$out/$name.trace.json" >/dev/null
  "$eptl" export "$snapshot" --format collapsed -o "$out/$name.folded" >/dev/null
  "$eptl" export "$snapshot" --format pprof -o "$out/$name.pb.gz" >/dev/null
  "$eptl" inspect --json "$snapshot" >"$out/$name.inspect.json"
  "$eptl" report "$snapshot" >/dev/null
  snapshots+=("$snapshot")
  echo "== $name"
  node "$here/check_exports.mjs" "$out/$name.speedscope.json" "$out/$name.trace.json" "$out/$name.inspect.json" \
    "$out" "$out/$name.folded" "$out/$name.pb.gz" || failed=1
done
echo "== reports"
node "$here/check_report.mjs" "$eptl" "$out" "${snapshots[@]}" || failed=1
exit $failed
