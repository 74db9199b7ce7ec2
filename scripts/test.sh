#!/usr/bin/env bash
# Builds and runs the whole test suite twice: an optimised build (Release,
# -O3), then one under AddressSanitizer and UndefinedBehaviorSanitizer. In
# between it compiles the library and eptl as distributions package them
# (RelWithDebInfo, -O2 -g), whose warnings differ. Installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 900
}

echo "== optimised build (Release, -O3) =="
run_suite build/release -DCMAKE_BUILD_TYPE=Release

echo "== the library and eptl as packaged (RelWithDebInfo, -O2 -g) =="
cmake -S . -B build/relwithdebinfo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW_BUILD_TESTS=OFF \
  -DTW_BUILD_BENCH=OFF >/dev/null
cmake --build build/relwithdebinfo -j "$jobs" --target event_pipe_timeline_profiler eptl

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DTW_SANITIZE=address,undefined -DTW_BUILD_BENCH=OFF
