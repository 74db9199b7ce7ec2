#!/usr/bin/env bash
# The tests' share of the code, counted in non-blank lines: tests are every
# C/C++, C#, Python, shell and JavaScript file under tests/; code is the
# product's C/C++, C# (the managed binding) and the report's page (its
# script and style) outside tests/ and bench/.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { xargs -r grep -cv '^\s*$' | awk -F: '{ n += $NF } END { print n + 0 }'; }
tests=$(git ls-files tests | grep -E '\.(c|cc|cpp|h|hpp|cs|py|sh|js|mjs)$' | grep -v node_modules | count)
code=$(git ls-files | grep -vE '^(tests|bench)/' | grep -E '\.(c|cc|cpp|h|hpp|cs|html)$' | count)
echo "tests $tests, code $code: $((100 * tests / code))%"
