#!/usr/bin/env bash
# eptl export of a snapshot of at least 100 MB, in both formats: time and
# peak RSS, beside TraceEvent writing the same formats from the recording
# (TraceLog, then its SpeedScope and Chromium stack writers) in the same
# run. The ratio compares whole pipelines from the recording: eptl convert
# followed by eptl export, against TraceEvent's. The target: an export under
# 3 s on this machine, memory bounded. Then the profile formats, pprof and
# folded stacks, beside the speedscope export of the same run: within 2x;
# and the HTML report: under 1 s and 10 MB.
# The recording is made once and kept in bench/data/ (not committed).
set -euo pipefail
source "$(dirname "$0")/common.sh"
trace=bench/data/export.nettrace
work=bench/data/export
snapshot=$work/service.dtt

bench_build eptl
workload=$(bench_dotnet BenchWorkload)
tracelog=$(bench_dotnet TraceLogBench)
eptl=build/release/eptl

providers="Microsoft-Windows-DotNETRuntime:0x4001c0f9:5,Microsoft-DotNETCore-SampleProfiler:0:4"
providers+=",Microsoft-AspNetCore-Server-Kestrel:0xffffffffffffffff:5,System.Threading.Tasks.TplEventSource:0x23:4"
providers+=",Microsoft-Windows-DotNETRuntimeRundown:0:5"

snapshot_bytes() { du -cb "$snapshot"* 2>/dev/null | tail -1 | cut -f1; }

# The service with 40 random frames at the top of each stack: nearly every
# stack is new, so the call tree grows with the recording. Doubles the time
# until the snapshot is large enough.
seconds=8
mkdir -p "$work"
while [[ ! -f $snapshot || $(snapshot_bytes) -lt $((100 * 1000 * 1000)) ]]; do
  echo "recording $trace: service for ${seconds}s"
  rm -f "$trace" "$snapshot"*
  DOTNET_EnableEventPipe=1 DOTNET_EventPipeOutputPath="$trace" DOTNET_EventPipeOutputStreaming=1 \
  DOTNET_EventPipeRundown=1 DOTNET_EventPipeConfig="$providers" \
    dotnet "$workload" service "$seconds" 3 40 >/dev/null
  "$eptl" convert "$trace" -o "$snapshot" >/dev/null 2>&1
  seconds=$((seconds * 2))
done

# measure NAME COMMAND...: prints and remembers seconds and peak RSS (MiB).
measure() {
  local name=$1
  shift
  local out
  /usr/bin/time -o "$work/time.txt" -f "%e %M" "$@" >/dev/null 2>&1
  out=$(tail -1 "$work/time.txt")
  seconds_of[$name]=${out% *}
  mib_of[$name]=$(( ${out#* } / 1024 ))
}
declare -A seconds_of mib_of

bench_machine
echo "recording: $(( $(stat -c %s "$trace") / 1000000 )) MB; snapshot: $(( $(snapshot_bytes) / 1000000 )) MB"
measure convert "$eptl" convert "$trace" -o "$work/again.dtt"
rm -f "$work"/again.dtt*
for format in speedscope chrome; do
  out=$work/service.$format.json
  measure "export" "$eptl" export "$snapshot" --format "$format" -o "$out"
  size=$(( $(stat -c %s "$out") / 1000000 ))
  measure baseline dotnet "$tracelog" "$trace" "$work/tracelog.etlx" \
    "$format" "$work/tracelog.$format.json"
  ours=$(echo "${seconds_of[convert]} + ${seconds_of[export]}" | bc)
  printf '%s: eptl export %.2f s, peak %d MiB, %d MB written' "$format" "${seconds_of[export]}" "${mib_of[export]}" "$size"
  printf ' (under 3 s: %s)\n' "$( (( $(echo "${seconds_of[export]} < 3" | bc) )) && echo holds || echo FAILS)"
  printf '  from the recording: eptl convert + export %.2f s (peak %d MiB); TraceEvent %.2f s (peak %d MiB): %.1fx\n' \
    "$ours" "$(( mib_of[convert] > mib_of[export] ? mib_of[convert] : mib_of[export] ))" \
    "${seconds_of[baseline]}" "${mib_of[baseline]}" "$(echo "${seconds_of[baseline]} / $ours" | bc -l)"
done

# The profile formats, against the speedscope export just measured.
measure "export" "$eptl" export "$snapshot" --format speedscope -o "$work/service.speedscope.json"
speedscope_seconds=${seconds_of[export]}
for format in pprof collapsed; do
  out=$work/service.$format
  measure "$format" "$eptl" export "$snapshot" --format "$format" -o "$out"
  printf '%s: eptl export %.2f s, peak %d MiB, %.1f MB written; speedscope %.2f s: %.2fx of it (target: within 2x)\n' \
    "$format" "${seconds_of[$format]}" "${mib_of[$format]}" "$(echo "$(stat -c %s "$out") / 1000000" | bc -l)" \
    "$speedscope_seconds" "$(echo "${seconds_of[$format]} / $speedscope_seconds" | bc -l)"
done

# The HTML report, against the speedscope export of the same run: the
# target is under 1 s and a page under 10 MB.
measure report "$eptl" report "$snapshot" -o "$work/service.html"
printf 'report: eptl report %.2f s (under 1 s: %s), peak %d MiB, %.1f MB written (under 10 MB: %s); speedscope %.2f s: %.2fx of it\n' \
  "${seconds_of[report]}" "$( (( $(echo "${seconds_of[report]} < 1" | bc) )) && echo holds || echo FAILS)" \
  "${mib_of[report]}" "$(echo "$(stat -c %s "$work/service.html") / 1000000" | bc -l)" \
  "$( (( $(stat -c %s "$work/service.html") < 10000000 )) && echo holds || echo FAILS)" \
  "$speedscope_seconds" "$(echo "${seconds_of[report]} / $speedscope_seconds" | bc -l)"
