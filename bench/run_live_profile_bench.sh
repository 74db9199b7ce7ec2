#!/usr/bin/env bash
# Live profiling cost: our collector and dotnet-trace on the same busy
# workload, in the same run. Arguments: seconds and threads (10, 16).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
threads=${2:-16}

bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target live_profile_bench event_pipe_timeline_profiler
dotnet build -c Release tests/dotnet/Workload/Workload.csproj -o tests/dotnet/Workload/bin/out >/dev/null
if [[ ! -x bench/tools/dotnet-trace ]]; then
  dotnet tool install --tool-path bench/tools dotnet-trace --version 9.0.661903 >/dev/null
fi
build/release/bench/live_profile_bench tests/dotnet/Workload/bin/out/Workload.dll bench/tools/dotnet-trace \
  "$seconds" "$threads" bench/data/live-profile
