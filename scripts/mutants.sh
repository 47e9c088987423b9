#!/usr/bin/env bash
# Mutation testing: seeds one small fault at a time into the sources, rebuilds incrementally and
# runs the tests; prints caught / survived / not compiled per file and in all, and lists the
# mutants that survived. The sources are put back on every way out (also Ctrl-C).
#   scripts/mutants.sh                               every mutant of every .cpp under src/
#   scripts/mutants.sh --sample 60 --seed 7          a fixed sample spread over src/'s folders
#   scripts/mutants.sh --per-file 5 src/net/hosts.cpp
#   scripts/mutants.sh --ids scripts/mutants-sample.txt   the same mutants again
#   scripts/mutants.sh --list ...                    show the mutants, run nothing
#   ... --ctest "-R expiry_check_test" --targets expiry_check_test
#                                                    only those tests, only their programs built
# Mutants known to be equivalent (no test can tell them apart) are listed with a reason in
# scripts/mutants-equivalent.txt and left out of the score. Not part of CI: it takes about a
# minute per mutant on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-mutants
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  [ "${args[$i]}" = --build ] && build_dir=${args[$((i + 1))]}
done
listing=no
for a in "$@"; do [ "$a" = --list ] && listing=yes; done

if [ "$listing" = no ]; then
  ./scripts/install-deps.sh
  if [ ! -f "$build_dir/build.ninja" ]; then
    launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
                                               -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQE_BUILD_BENCH=OFF "${launcher[@]}"
  fi
fi
export QT_QPA_PLATFORM=offscreen
exec python3 scripts/mutants.py --build "$build_dir" "$@"
