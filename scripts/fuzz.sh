#!/usr/bin/env bash
# Fuzzes, for a given number of seconds each (default 600):
# - the nettrace stream parser, seeded with the beginnings of every real
#   recording at hand;
# - what a host sends to the bridge (the handshake's answer, commands, file
#   request answers), seeded with well-formed exchanges;
# - module images (PE/CLI headers, metadata, ReadyToRun code tables), seeded
#   with the smaller precompiled assemblies of the installed runtime;
# - what a process sends first on the diagnostic port (advertise), seeded
#   with good, cut and foreign messages;
# - a runtime's answers on a Diagnostics IPC connection (ipc_answer), seeded
#   with a refusal, a new session's id and process information;
# - snapshots read back by eptl inspect and export (snapshot), seeded with
#   the sections of the committed recordings' snapshots.
# Name targets after the seconds to run only those: fuzz.sh 60 bridge.
# Findings land in build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(nettrace bridge module_image advertise ipc_answer snapshot)

bash scripts/setup.sh
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTW_FUZZ=ON -DTW_BUILD_TESTS=OFF -DTW_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz --target nettrace_fuzzer bridge_fuzzer module_image_fuzzer advertise_fuzzer ipc_answer_fuzzer \
  snapshot_fuzzer
mkdir -p build/fuzz/findings
shopt -s nullglob

nettrace_seeds() {
  local seeds=$1
  for f in tests/data/*.nettrace tests/data/public/*.zip; do
    name=$(basename "$f")
    if [[ $f == *.zip ]]; then
      unzip -p "$f" >"$seeds/$name.full"
    else
      cp "$f" "$seeds/$name.full"
    fi
    # Whole recordings are large; their beginnings hold the header, the
    # metadata and the first blocks, which is where the parser's decisions are.
    head -c 65536 "$seeds/$name.full" >"$seeds/$name.64k"
    head -c 8192 "$seeds/$name.full" >"$seeds/$name.8k"
    rm "$seeds/$name.full"
  done
}

bridge_seeds() {
  local seeds=$1
  # accepted: control kind 0, "", no variables, "", timeline_info, a word.
  local accepted='\xd0\x19\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
  printf "$accepted" >"$seeds/accepted"
  printf "$accepted"'\xdf\x00\x10\x00\x12\x00' >"$seeds/go-start-save"
  # handle: request 0, identified file, "/tmp/a", a GUID; then a cancellation.
  printf "$accepted"'\xfd\x1c\x00\x00\x00\x00\x01\x06/tmp/a0123456789abcdef\xfe\x01\x01' >"$seeds/handle-cancel"
  printf '\xd0\x03\x01\x81\x00' >"$seeds/variables"
  printf '\xd2\x00' >"$seeds/refused"
}

module_image_seeds() {
  local seeds=$1 framework
  framework=$(dotnet --list-runtimes | awk '/^Microsoft.NETCore.App /{v=$2; d=$3} END{gsub(/[\[\]]/, "", d); print d "/" v}')
  local dlls
  mapfile -t dlls < <(find "$framework" -name '*.dll' -size -160k -size +8k | sort)
  cp "${dlls[@]:0:12}" "$seeds/"
}

advertise_seeds() {
  local seeds=$1
  local message='ADVR_V1\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x39\x30\x00\x00\x00\x00\x00\x00\x00\x00'
  printf "$message" >"$seeds/one"
  printf "$message$message" >"$seeds/two"
  printf 'ADVR_V1\x00\x01\x02' >"$seeds/cut"
  printf 'GET / HTTP/1.1\r\n\r\n' >"$seeds/foreign"
}

ipc_answer_seeds() {
  local seeds=$1
  local magic='DOTNET_IPC_V1\x00'
  # A refusal with its HRESULT, a session id, process information.
  printf "$magic"'\x18\x00\xff\xff\x00\x00\x84\x13\x13\x80' >"$seeds/error"
  printf "$magic"'\x1c\x00\xff\x00\x00\x00\x01\x02\x03\x04\x05\x06\x07\x08' >"$seeds/session"
  printf "$magic"'\x36\x00\xff\x00\x00\x00\x39\x30\x00\x00\x00\x00\x00\x00''0123456789abcdef''\x03\x00\x00\x00a\x00b\x00\x00\x00' >"$seeds/process_info"
}

# Each committed recording's snapshot, in the fuzzer's layout: a u32 length
# per section, then the sections; the large ones are cut short.
snapshot_seeds() {
  local seeds=$1
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release --target eptl >/dev/null
  for f in tests/data/*.nettrace; do
    name=$(basename "$f" .nettrace)
    build/release/eptl convert "$f" -o "$seeds/$name.dtt" >/dev/null 2>&1
    python3 - "$seeds/$name.dtt" "$seeds/$name" <<'PACK'
import re, struct, sys
sys.path.insert(0, 'scripts')
from snapshot_format import FORMAT
index, out = sys.argv[1], sys.argv[2]
# The fuzzer's own order of sections, by their names in the format.
names = re.search(r'sections\[\] = \{(.*?)\};', open('tests/fuzz/snapshot_fuzzer.cpp').read(), re.S).group(1)
order = [FORMAT.sections[n][0] for n in re.findall(r'f::(\w+)\.id', names)]
data = open(index, 'rb').read()
count = struct.unpack_from('<I', data, 6)[0] & 0x7FFFFFFF
at = 10 + (2 if struct.unpack_from('<I', data, 6)[0] & 0x80000000 else 0)
offsets, found = {}, {}
for _ in range(count):
    sid, _version, length, fid = struct.unpack_from('<HHQH', data, at)
    at += 14
    start = offsets.get(fid, 0)
    offsets[fid] = start + length
    if sid not in found:
        with open('%s.%04X' % (index, fid), 'rb') as f:
            f.seek(start)
            found[sid] = f.read(min(length, 32768))
sections = [found.get(s, b'') for s in order]
with open(out, 'wb') as f:
    f.write(b''.join(struct.pack('<I', len(s)) for s in sections) + b''.join(sections))
PACK
    rm -f "$seeds/$name.dtt"*
  done
}

for target in "${targets[@]}"; do
  seeds=build/fuzz/seeds-$target
  mkdir -p "$seeds" "build/fuzz/corpus-$target"
  "${target}_seeds" "$seeds"
  echo "== $target: $seconds s"
  "build/fuzz/${target}_fuzzer" "build/fuzz/corpus-$target" "$seeds" \
    -max_total_time="$seconds" -max_len=262144 -rss_limit_mb=4096 -timeout=20 \
    -artifact_prefix=build/fuzz/findings/ -print_final_stats=1
done
