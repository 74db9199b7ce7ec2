#!/usr/bin/env bash
# Installs what the build and the tests need, only where it is missing.
# Safe to run any number of times.
set -euo pipefail

packages=(
  g++ cmake ninja-build make pkg-config
  libboost1.81-dev libboost-filesystem1.81-dev libboost-system1.81-dev
  libboost-program-options1.81-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev binutils
  chromium
  libprotobuf-dev protobuf-compiler zlib1g-dev
  golang-go golang-github-google-pprof-dev
)
# Node.js may come from elsewhere than Debian; only its absence matters.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then packages+=(nodejs npm); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then sudo=sudo; else sudo=; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if ! command -v dotnet >/dev/null 2>&1; then
  echo "setup: the .NET SDK (dotnet) is not on PATH; the tests that start .NET programs need it" >&2
  exit 1
fi

# The export checks: speedscope, its schema, and a driver for Chromium.
browser=$(cd "$(dirname "$0")/../tests/browser" && pwd)
if [[ ! -d $browser/node_modules || $browser/package-lock.json -nt $browser/node_modules ]]; then
  echo "setup: installing the export checks' npm packages"
  (cd "$browser" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  touch "$browser/node_modules"
fi
