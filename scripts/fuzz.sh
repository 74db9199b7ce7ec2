#!/usr/bin/env bash
# Fuzzes the nettrace stream parser for a given number of seconds (default
# 600), seeded with the beginnings of every real recording at hand. Findings
# land in build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}

bash scripts/setup.sh
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTW_FUZZ=ON -DTW_BUILD_TESTS=OFF -DTW_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz --target nettrace_fuzzer

seeds=build/fuzz/seeds
mkdir -p "$seeds" build/fuzz/corpus build/fuzz/findings
shopt -s nullglob
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

build/fuzz/nettrace_fuzzer build/fuzz/corpus "$seeds" \
  -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=4096 -timeout=20 \
  -artifact_prefix=build/fuzz/findings/ -print_final_stats=1
