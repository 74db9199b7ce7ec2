#!/usr/bin/env bash
# End-to-end conversion benchmark: the large recording of the decoding
# benchmark (made by bench/run_decode_bench.sh when missing) converted by our
# eptl and by TraceEvent's TraceLog in the same run: times, ratio, peak memory.
set -euo pipefail
cd "$(dirname "$0")/.."
trace=bench/data/stress.nettrace

if [[ ! -f $trace ]]; then bash bench/run_decode_bench.sh; fi
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target convert_bench eptl
dotnet build -c Release tests/dotnet/TraceLogBench/TraceLogBench.csproj -o tests/dotnet/TraceLogBench/bin/out >/dev/null

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
build/release/bench/convert_bench "$trace" build/release/eptl tests/dotnet/TraceLogBench/bin/out/TraceLogBench.dll \
  bench/data/convert
