#!/usr/bin/env bash
# Re-creates the committed recordings in tests/data/ with the runtime's own
# EventPipe file output, using the providers and keywords the profiler's
# runtime session asks for, plus the rundown provider.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../data}
mkdir -p "$out"

dotnet build -c Release "$here/Workload/Workload.csproj" -o "$here/Workload/bin/out" >/dev/null
workload="$here/Workload/bin/out/Workload.dll"

providers="Microsoft-Windows-DotNETRuntime:0x4001c0f9:5"
providers+=",Microsoft-DotNETCore-SampleProfiler:0:4"
providers+=",Microsoft.Data.SqlClient.EventSource:0xffffffffffffffff:5"
providers+=",Microsoft-AspNetCore-Server-Kestrel:0xffffffffffffffff:5"
providers+=",System.Threading.Tasks.TplEventSource:0x23:4"
providers+=",Microsoft-Windows-DotNETRuntimeRundown:0:5"

# record NAME RUNDOWN(0|1) ARGS...
record() {
  local name=$1 rundown=$2
  shift 2
  rm -f "$out/$name"
  DOTNET_EnableEventPipe=1 \
  DOTNET_EventPipeOutputPath="$out/$name" \
  DOTNET_EventPipeConfig="$providers" \
  DOTNET_EventPipeOutputStreaming=1 \
  DOTNET_EventPipeRundown=$rundown \
  DOTNET_TieredCompilation=1 \
    dotnet "$workload" "$@" >/dev/null
  echo "$name: $(stat -c %s "$out/$name") bytes"
}

# The rundown at the end of a recording lists every loaded method; it is kept
# where call stacks must resolve and left out where it would only add size.
record net10-core.nettrace 1 core
record net10-cpu.nettrace 1 cpu 1.5
record net10-kestrel.nettrace 0 kestrel
record net10-sql.nettrace 0 sql
