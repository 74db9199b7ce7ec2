#!/usr/bin/env bash
# Live drain: events received out of events emitted, for our live consumer
# and for dotnet-trace, on the same workload in the same run.
set -euo pipefail
source "$(dirname "$0")/common.sh"
events=${1:-2000000}

bench_build live_drain_bench
workload=$(bench_dotnet BenchWorkload)
build/release/bench/live_drain_bench "$workload" "$(bench_dotnet_trace)" "$events" bench/data/live
