#!/usr/bin/env bash
# End-to-end conversion benchmark: the large recording of the decoding
# benchmark (made by bench/run_decode_bench.sh when missing) converted by our
# eptl and by TraceEvent's TraceLog in the same run: times, ratio, peak memory.
set -euo pipefail
source "$(dirname "$0")/common.sh"
trace=bench/data/stress.nettrace

if [[ ! -f $trace ]]; then bash bench/run_decode_bench.sh; fi
bench_build convert_bench eptl
tracelog=$(bench_dotnet TraceLogBench)

bench_machine
build/release/bench/convert_bench "$trace" build/release/eptl "$tracelog" bench/data/convert
