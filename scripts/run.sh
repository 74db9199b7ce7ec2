#!/usr/bin/env bash
# The main job on a fresh machine: installs what is missing, builds, converts
# a real recording bundled in the repository into a timeline snapshot and
# prints its summary.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target eptl event_pipe_timeline_profiler

recording=${1:-tests/data/net10-cpu.nettrace}
mkdir -p build/demo
snapshot=build/demo/$(basename "${recording%.nettrace}").dtt
build/release/eptl convert "$recording" -o "$snapshot"
build/release/eptl sections "$snapshot"
build/release/eptl inspect "$snapshot"
