#!/usr/bin/env bash
# Live drain: events received out of events emitted, for our live consumer
# and for dotnet-trace, on the same workload in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
events=${1:-2000000}

bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target live_drain_bench
dotnet build -c Release tests/dotnet/Workload/Workload.csproj -o tests/dotnet/Workload/bin/out >/dev/null
if [[ ! -x bench/tools/dotnet-trace ]]; then
  dotnet tool install --tool-path bench/tools dotnet-trace --version 9.0.661903 >/dev/null
fi
build/release/bench/live_drain_bench tests/dotnet/Workload/bin/out/Workload.dll bench/tools/dotnet-trace "$events" \
  bench/data/live
