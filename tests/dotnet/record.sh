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
# The same program on .NET 9, self-contained, from a project of its own.
net9="$here/Workload/bin/net9"
mkdir -p "$net9/project"
sed -e 's|<TargetFramework>[^<]*</TargetFramework>|<TargetFramework>net9.0</TargetFramework><EnableDefaultCompileItems>false</EnableDefaultCompileItems>|' \
    -e "s|</Project>|  <ItemGroup><Compile Include=\"$here/Workload/Program.cs\" /></ItemGroup>\n</Project>|" \
    "$here/Workload/Workload.csproj" >"$net9/project/Workload.csproj"
dotnet publish -c Release -r linux-x64 --self-contained "$net9/project/Workload.csproj" -o "$net9/out" >/dev/null

providers="Microsoft-Windows-DotNETRuntime:0x4001c0f9:5"
providers+=",Microsoft-DotNETCore-SampleProfiler:0:4"
providers+=",Microsoft.Data.SqlClient.EventSource:0xffffffffffffffff:5"
providers+=",Microsoft-AspNetCore-Server-Kestrel:0xffffffffffffffff:5"
providers+=",System.Threading.Tasks.TplEventSource:0x23:4"
providers+=",Microsoft-Windows-DotNETRuntimeRundown:0:5"

# record NAME RUNDOWN(0|1) PROGRAM ARGS...
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
    "$@" >/dev/null
  echo "$name: $(stat -c %s "$out/$name") bytes"
}

# The rundown at the end of a recording lists every loaded method; it is kept
# where call stacks must resolve and left out where it would only add size.
record net10-core.nettrace 1 dotnet "$workload" core
record net10-cpu.nettrace 1 dotnet "$workload" cpu 1.5
record net10-kestrel.nettrace 0 dotnet "$workload" kestrel
record net10-sql.nettrace 0 dotnet "$workload" sql
# The live target, driven as the live tests drive it: requests to its
# Kestrel server, then one burst of work (busy threads, exceptions,
# contention, collections, tasks), then its end.
drive_target() {
  coproc target { "$@" target; }
  local ready port pid done
  read -r ready port pid <&"${target[0]}"
  for path in /a /b/c /d; do
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' "$path" >&3
    cat <&3 >/dev/null
    exec 3<&-
  done
  echo work >&"${target[1]}"
  read -r done <&"${target[0]}"
  echo exit >&"${target[1]}"
  wait "$target_PID"
}

# .NET 9 flags its samples wrongly, as the target's busy threads show. The
# module file of the program's own build is kept beside the recordings.
record net9-target.nettrace 1 drive_target "$net9/out/Workload"
mkdir -p "$out/modules"
cp "$net9/out/Workload.dll" "$out/modules/"
