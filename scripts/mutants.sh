#!/usr/bin/env bash
# How many faults the tests catch. Puts each fault of scripts/mutants.txt into
# the code in turn, builds incrementally (Release, build/mutants), runs the
# tests of the layers the fault names (CTest labels), and prints it as caught
# (a test failed) or missed (all passed); then the total. The code is put
# back after each fault, and on any exit.
#
#   scripts/mutants.sh [NUMBER...]     only the faults with these numbers
#   scripts/mutants.sh --check         only that every fault's text is found
#
# With TW_MUTANTS_SANITIZE=thread (or another -fsanitize= value) the build is
# made with that sanitizer (build/mutants-thread): the faults that break how
# threads share data show there (24 and 35).
#
# A fault whose text is not found exactly once, or that does not build, is an
# error in the list and is reported as such, not counted.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
sanitize=${TW_MUTANTS_SANITIZE:-}
build=${TW_MUTANTS_BUILD:-build/mutants${sanitize:+-$sanitize}}
list=scripts/mutants.txt
results=$build/mutants.txt

if [[ ${1:-} != --check ]]; then
  bash scripts/setup.sh >/dev/null
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTW_SANITIZE="$sanitize" >/dev/null
  cmake --build "$build" >/dev/null
fi

# mutate apply N | restore N | count | describe N
mutate() { python3 - "$list" "$@" <<'PY'
import sys, os
path, command = sys.argv[1], sys.argv[2]
faults, current = [], None
def unescape(text):
    return text.replace('\\\\', '\0').replace('\\n', '\n').replace('\0', '\\')
for line in open(path, encoding='utf-8').read().split('\n'):
    if line.startswith('@ '):
        labels, file = line[2:].split(' ', 1)
        current = {'labels': labels, 'file': file, 'what': None, 'old': None, 'new': None}
        faults.append(current)
    elif current is None or line.startswith('#') or not line.strip():
        continue
    elif line.startswith('- '):
        current['old'] = unescape(line[2:])
    elif line.startswith('+ '):
        current['new'] = unescape(line[2:])
    elif current['what'] is None:
        current['what'] = line
if command == 'count':
    print(len(faults)); sys.exit(0)
f = faults[int(sys.argv[3]) - 1]
if command == 'describe':
    print(f"{f['labels']}\t{f['file']}\t{f['what']}"); sys.exit(0)
saved = os.path.join(os.environ['TW_MUTANTS_SAVE'], 'original')
if command == 'restore':
    if os.path.exists(saved):
        # Written anew, not moved back: the file must be newer than what was
        # built from the fault, or the build would keep that.
        open(f['file'], 'w', encoding='utf-8').write(open(saved, encoding='utf-8').read())
        os.remove(saved)
    sys.exit(0)
text = open(f['file'], encoding='utf-8').read()
if text.count(f['old']) != 1:
    print(f"found {text.count(f['old'])} times: {f['old']!r}", file=sys.stderr); sys.exit(2)
open(saved, 'w', encoding='utf-8').write(text)
open(f['file'], 'w', encoding='utf-8').write(text.replace(f['old'], f['new']))
PY
}

export TW_MUTANTS_SAVE=$(mktemp -d)
current=""
restore() { if [[ -n $current ]]; then mutate restore "$current"; current=""; fi; }
trap 'restore; rm -rf "$TW_MUTANTS_SAVE"' EXIT
trap 'exit 130' INT TERM

total=$(mutate count)
if [[ ${1:-} == --check ]]; then
  status=0
  for n in $(seq 1 "$total"); do
    if mutate apply "$n"; then mutate restore "$n"; else echo "fault $n: $(mutate describe "$n")"; status=1; fi
  done
  echo "$total faults"
  exit $status
fi
numbers=("$@")
if [[ ${#numbers[@]} -eq 0 ]]; then numbers=($(seq 1 "$total")); fi

caught=0 missed=0 broken=0
: > "$results"
for n in "${numbers[@]}"; do
  IFS=$'\t' read -r labels file what < <(mutate describe "$n")
  start=$SECONDS
  if ! mutate apply "$n" 2>"$TW_MUTANTS_SAVE/why"; then
    verdict="NOT APPLIED ($(cat "$TW_MUTANTS_SAVE/why"))"; broken=$((broken + 1))
  else
    current=$n
    if ! cmake --build "$build" >"$TW_MUTANTS_SAVE/build.log" 2>&1; then
      verdict="DOES NOT BUILD"; broken=$((broken + 1))
    elif (cd "$build" && ctest -L "^($labels)\$" -j2 --timeout 180 --stop-on-failure >"$TW_MUTANTS_SAVE/test.log" 2>&1); then
      verdict="missed"; missed=$((missed + 1))
    else
      failed=$(grep -m1 -E '\*\*\*|Subprocess aborted|SEGFAULT|Not Run' "$TW_MUTANTS_SAVE/test.log" |
        sed -E 's/^.*Test +#[0-9]+: ([^ ]+).*/\1/' || true)
      verdict="caught${failed:+ by $failed}"; caught=$((caught + 1))
    fi
    restore
  fi
  line=$(printf '%2d %-8s %-5ss %-58s %s' "$n" "${verdict%% *}" "$((SECONDS - start))" "$file" "$what")
  [[ $verdict == caught* || $verdict == missed ]] || line="$line: $verdict"
  [[ $verdict == caught\ by* ]] && line="$line [${verdict#caught by }]"
  echo "$line" | tee -a "$results"
done
# The last fault's file is back: the build is the code's again.
cmake --build "$build" >/dev/null
summary="caught $caught of $((caught + missed)) faults"
((broken == 0)) || summary="$summary ($broken not run: see above)"
echo "$summary" | tee -a "$results"
