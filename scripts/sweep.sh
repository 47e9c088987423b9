#!/usr/bin/env bash
# The fault sweep on its own, with its report: every token call of a register and a download
# failed four ways, the process ended before and after each call, and every exchange with the
# authority failed six ways.
#   scripts/sweep.sh [--all] [BUILD_DIR]   BUILD_DIR is build/ unless given (scripts/test.sh makes
#                                          it); --all sweeps every call also in build-asan/,
#                                          where the suite takes every third
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${1:-}" = --all ] && { export QE_SWEEP_ALL=1; shift; }
build=${1:-build}
cmake --build "$build" --target fault_sweep_test quorvane-authority-sim qe_fault_pkcs11
export QT_QPA_PLATFORM=offscreen
start=$(date +%s)
ctest --test-dir "$build" -R '^fault_sweep_test_' -j "$(nproc)" -V 2>&1 | tee "$build"/sweep.log |
  grep -E '^[0-9]+: (sweep |.*broken)|tests passed|Failed' || true
# The totals of the fourteen reports.
awk '/: sweep [a-z_]+: [0-9]+ calls/ {
       n = $19; gsub(/\(/, "", n)
       swept += $7; faults += $9; runs += $11 + $22; held += $13; checks += $15; noted += n
       s += $(NF-1)
     }
     END { printf "all sweeps: %d calls swept, %d faults, %d runs with the recoveries, %d of %d " \
           "invariant checks held (%d noted exceptions), %d s of test time\n",
           swept, faults, runs, held, checks, noted, s }' \
  "$build"/sweep.log
echo "sweep finished in $(( $(date +%s) - start )) s; the whole output is in "$build"/sweep.log"
grep -q '100% tests passed' "$build"/sweep.log
