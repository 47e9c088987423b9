#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed number of inputs.
#   scripts/fuzz.sh [runs]   (default 20000 runs per target)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-20000}"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQE_FUZZ=ON -DQE_WERROR=ON
cmake --build build-fuzz -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
for fuzzer in build-fuzz/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  corpus="fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  echo "== $name: $runs runs"
  args=(-runs="$runs" -max_len=65536 -rss_limit_mb=2048 -timeout=10)
  if [ -d "$corpus" ]; then
    cp -r "$corpus/." "$work/"
  fi
  "$fuzzer" "${args[@]}" "$work"
  rm -rf "$work"
done
