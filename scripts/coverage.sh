#!/usr/bin/env bash
# Line and branch coverage of the whole test suite.
#   scripts/coverage.sh              build in build-coverage/, run every test, print per folder
#   scripts/coverage.sh -- -L token  only some tests (arguments after "--" go to ctest)
#   scripts/coverage.sh --own-lines [-- -L unit]
#                                    each test case alone, then per case the lines no other
#                                    case reaches (about 20 s a case: the whole suite takes an hour)
# Prints line and branch coverage for each folder of src/ and sim/ and writes the HTML report to
# build-coverage/coverage/index.html.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-coverage
ctest_args=()
own_lines=false
while [ $# -gt 0 ]; do
  case "$1" in
    --own-lines) own_lines=true ;;
    --) shift; ctest_args=("$@"); break ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done

./scripts/install-deps.sh

# -O0 keeps line and branch counts faithful to the source; benchmarks and fuzzers add nothing.
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQE_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="--coverage" -DCMAKE_CXX_FLAGS="--coverage" \
  -DCMAKE_EXE_LINKER_FLAGS="--coverage" -DCMAKE_SHARED_LINKER_FLAGS="--coverage"
cmake --build "$build_dir" -j "$(nproc)"

if $own_lines; then
  exec python3 scripts/coverage_cases.py "$build_dir" "${ctest_args[@]}"
fi

# Counts from an earlier run would add up with this one.
find "$build_dir" -name '*.gcda' -delete
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build_dir" -j "$(nproc)" --output-on-failure "${ctest_args[@]}" || {
  echo "coverage: some tests failed; the figures below count what ran" >&2
}

# CMake's compiler probes were built with the flags too; they are not ours.
find "$build_dir/CMakeFiles" -name '*CompilerId*.gc*' -delete
report="$build_dir/coverage"
mkdir -p "$report"
common=(--root . --object-directory "$build_dir" --filter 'src/' --filter 'sim/'
        --exclude-unreachable-branches --exclude-throw-branches --print-summary)
gcovr "${common[@]}" --json "$report/coverage.json" --html-details "$report/index.html" \
  >"$report/summary.txt"

# One line per folder, from the per-file figures of the JSON report.
python3 - "$report/coverage.json" <<'PY'
import json, sys, collections
data = json.load(open(sys.argv[1]))
lines = collections.defaultdict(lambda: [0, 0])
branches = collections.defaultdict(lambda: [0, 0])
for f in data["files"]:
    name = f["file"]
    parts = name.split("/")
    folder = "/".join(parts[:2]) if parts[0] == "src" else parts[0]
    for line in f["lines"]:
        if line.get("gcovr/noncode"):
            continue
        lines[folder][1] += 1
        lines[folder][0] += line["count"] > 0
        for b in line.get("branches", []):
            branches[folder][1] += 1
            branches[folder][0] += b["count"] > 0
def pct(c):
    return f"{100.0 * c[0] / c[1]:5.1f}%" if c[1] else "    -"
print(f"{'folder':<16} {'lines':>16} {'branches':>18}")
total_l, total_b = [0, 0], [0, 0]
for folder in sorted(lines):
    l, b = lines[folder], branches[folder]
    print(f"{folder:<16} {pct(l)} {l[0]:>5}/{l[1]:<5} {pct(b)} {b[0]:>6}/{b[1]:<6}")
    if folder.startswith("src/"):
        total_l = [total_l[0] + l[0], total_l[1] + l[1]]
        total_b = [total_b[0] + b[0], total_b[1] + b[1]]
print(f"{'src/ in all':<16} {pct(total_l)} {total_l[0]:>5}/{total_l[1]:<5} "
      f"{pct(total_b)} {total_b[0]:>6}/{total_b[1]:<6}")
PY
echo "HTML report: $report/index.html"
