# What every benchmark script starts from: sourced, it moves to the
# repository's root and gives the steps they share.

cd "$(dirname "${BASH_SOURCE[0]}")/.."

# bench_build TARGET...: the set-up, then a Release build of the targets.
bench_build() {
  bash scripts/setup.sh
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release --target "$@" >/dev/null
}

# bench_dotnet NAME: builds the .NET program bench/dotnet/NAME; prints the
# path of its assembly.
bench_dotnet() {
  dotnet build -c Release -nologo -v q "bench/dotnet/$1/$1.csproj" -o "build/release/dotnet/$1" >/dev/null
  echo "build/release/dotnet/$1/$1.dll"
}

# bench_dotnet_trace: dotnet-trace, the peer of the live benchmarks,
# installed into bench/tools once; prints its path.
bench_dotnet_trace() {
  if [[ ! -x bench/tools/dotnet-trace ]]; then
    dotnet tool install --tool-path bench/tools dotnet-trace --version 10.0.750501 >/dev/null
  fi
  echo bench/tools/dotnet-trace
}

bench_machine() {
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
}
