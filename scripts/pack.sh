#!/usr/bin/env bash
# Builds the library (Release) and packs the NuGet package
# EventPipeTimelineProfiler: the native library for linux-x64 and the managed
# binding (net8.0), with the version CMake gives the project, into OUT_DIR.
# Prints the package's path.
#   bash scripts/pack.sh [BUILD_DIR [OUT_DIR]]   (build/release, build/nuget)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target event_pipe_timeline_profiler >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
mkdir -p "${2:-build/nuget}"
out=$(cd "${2:-build/nuget}" && pwd)
rm -f "$out"/EventPipeTimelineProfiler.*.nupkg
dotnet pack bindings/dotnet/EventPipeTimelineProfiler/EventPipeTimelineProfiler.csproj -c Release -nologo -v q \
  -p:Version="$version" -p:NativeLibraryPath="$(cd "$build" && pwd)/libevent_pipe_timeline_profiler.so" \
  -o "$out" >&2
echo "$out/EventPipeTimelineProfiler.$version.nupkg"
