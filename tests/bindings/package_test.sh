#!/usr/bin/env bash
# The NuGet package as a .NET developer meets it: scripts/pack.sh packs it,
# a fresh console project in a temporary folder adds it from a local feed
# (not a project reference) and runs the repository's managed host against
# it (conversion, attach, launch, bad input); then `dotnet publish -r
# linux-x64` puts the native library beside the program, and the published
# program converts a recording.
#   package_test.sh BUILD_DIR EPTL WORKLOAD_DLL RECORDING
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$1 eptl=$2 workload=$3 recording=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

package=$(bash "$here/scripts/pack.sh" "$build" "$work/packed")
feed=$work/feed
mkdir -p "$feed"
cp "$package" "$feed/"
version=$(basename "$package" .nupkg)
version=${version#EventPipeTimelineProfiler.}

# A cache of its own: a package of the same version from an earlier pack
# must not stand in for this one.
export NUGET_PACKAGES=$work/packages DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1
cd "$work"
dotnet new console -o app --no-restore >/dev/null
cd app
dotnet add package EventPipeTimelineProfiler --version "$version" --source "$feed" >/dev/null
cp "$here/tests/dotnet/ManagedHost/Program.cs" Program.cs
dotnet build -c Release -nologo -v q >/dev/null
echo "== the package, from a console project"
dotnet run -c Release --no-build -- "$eptl" "$workload" "$recording" "$work/run"

echo "== published for linux-x64"
dotnet publish -c Release -r linux-x64 -nologo -v q -o "$work/published" >/dev/null
if [[ ! -f $work/published/libevent_pipe_timeline_profiler.so ]]; then
  echo "the published program has no libevent_pipe_timeline_profiler.so beside it"
  exit 1
fi
"$work/published/app" "$eptl" "$workload" "$recording" "$work/published-run" --convert-only
