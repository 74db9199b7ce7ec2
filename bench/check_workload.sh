#!/usr/bin/env bash
# Runs every mode of the benchmarks' workload for a moment, as the benchmark
# scripts run them: each must end well and say what it did.
#   bench/check_workload.sh BenchWorkload.dll
set -euo pipefail
dll=$1
failed=0
# mode ARGS... | what its last line starts with
check() {
  local says=$1
  shift
  local out
  if ! out=$(printf '\n\n' | timeout 120 dotnet "$dll" "$@" 2>&1) || [[ $(tail -1 <<<"$out") != "$says"* ]]; then
    echo "bench workload: '$*' failed: $out" >&2
    failed=1
  fi
}
check done busy 0.2 2
check events stress 0.2 2
check requests service 0.2 2
check requests web 0.3
check emitted emit 10
exit $failed
