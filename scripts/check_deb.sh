#!/usr/bin/env bash
# Builds the .deb, then installs it with apt-get in a clean Debian (bookworm)
# chroot made by debootstrap and runs the installed eptl (convert, inspect,
# export) on a committed recording. The chroot is kept in build/deb-root for the next run.
# Needs root (debootstrap, chroot) and Debian's package mirror.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD/build/deb-root

bash scripts/setup.sh
export DEBIAN_FRONTEND=noninteractive
for p in debootstrap dpkg-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends "$p" >/dev/null; }
done

cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DTW_BUILD_TESTS=OFF -DTW_BUILD_BENCH=OFF >/dev/null
cmake --build build/package
(cd build/package && cpack >/dev/null)
deb=$(ls build/package/event-pipe-timeline-profiler_*.deb)
echo "package: $deb"
dpkg-deb --info "$deb" | grep -E "Package|Version|Depends"
dpkg-deb --contents "$deb" | awk '{print $6}'

# What cmake --install puts under a prefix.
rm -rf build/package/prefix
cmake --install build/package --prefix build/package/prefix >/dev/null
(cd build/package/prefix && find . -type f | sort)

if [[ ! -x $root/usr/bin/apt-get ]]; then
  rm -rf "$root"
  debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >/dev/null
fi
# A clean system each time: whatever an earlier run installed goes first.
chroot "$root" dpkg --purge event-pipe-timeline-profiler >/dev/null 2>&1 || true
cp "$deb" "$root/tmp/package.deb"
cp tests/data/net10-cpu.nettrace "$root/tmp/"
mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
trap 'umount "$root/proc" 2>/dev/null || true' EXIT
chroot "$root" apt-get install -y -qq /tmp/package.deb >/dev/null
chroot "$root" sh -c 'ls -l /usr/bin/eptl /usr/include/event_pipe_timeline_profiler/event_pipe_api.h $(find /usr/lib -name libevent_pipe_timeline_profiler.so)'
chroot "$root" sh -c 'cd /tmp && rm -f cpu.dtt* && eptl convert net10-cpu.nettrace -o cpu.dtt >/dev/null 2>&1 && eptl inspect cpu.dtt' |
  tee build/package/inspect.txt
grep -q "HotLoop.SpinPrimes" build/package/inspect.txt
chroot "$root" sh -c 'cd /tmp && eptl export cpu.dtt --format speedscope && eptl export cpu.dtt --format chrome'
grep -q '"name":"HotLoop.SpinPrimes"' "$root/tmp/cpu.dtt.speedscope.json"
grep -q '"name":"thread_name"' "$root/tmp/cpu.dtt.trace.json"
echo "the installed eptl converted, inspected and exported a recording in a clean Debian chroot"
