#!/usr/bin/env bash
# Live profiling cost: our collector and dotnet-trace on the same busy
# workload, in the same run. Arguments: seconds and threads (10, 16).
set -euo pipefail
source "$(dirname "$0")/common.sh"
seconds=${1:-10}
threads=${2:-16}

bench_build live_profile_bench event_pipe_timeline_profiler
workload=$(bench_dotnet BenchWorkload)
build/release/bench/live_profile_bench "$workload" "$(bench_dotnet_trace)" "$seconds" "$threads" bench/data/live-profile
