#!/usr/bin/env python3
"""Runs each test case of a coverage build alone and prints, for every case, how many lines of
src/ and sim/ it reaches that no other case of the run reaches: a case with none is held up by
its assertions alone, and is the first place to look when tests are merged or cut.

Called by scripts/coverage.sh --own-lines after the build; about 20 s a case on two cores.
    coverage_cases.py BUILD_DIR [ctest selection arguments, e.g. -L unit]
"""
import collections
import glob
import json
import os
import subprocess
import sys

build = os.path.abspath(sys.argv[1])
selection = sys.argv[2:]
root = os.getcwd()
out_dir = os.path.join(build, "own-lines")
os.makedirs(out_dir, exist_ok=True)
for old in glob.glob(os.path.join(out_dir, "*.json")):
    os.remove(old)


def delete_counts():
    for path in glob.glob(os.path.join(build, "**", "*.gcda"), recursive=True):
        os.remove(path)


listing = json.loads(subprocess.run(
    ["ctest", "--test-dir", build, "--show-only=json-v1", *selection],
    check=True, capture_output=True, text=True).stdout)
runs = []  # (case name, command, environment, working directory)
for test in listing["tests"]:
    props = {p["name"]: p["value"] for p in test.get("properties", [])}
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    env.update(kv.split("=", 1) for kv in props.get("ENVIRONMENT", []))
    cwd = props.get("WORKING_DIRECTORY", build)
    if not test["command"][0].endswith("_test"):
        continue  # scripts, not test programs with cases
    names = subprocess.run(test["command"] + ["--gtest_list_tests"], capture_output=True,
                           text=True, env=env, cwd=cwd).stdout
    suite = None
    for line in names.splitlines():
        if line and not line.startswith(" "):
            suite = line.split()[0]
        elif line.strip() and suite:
            runs.append((suite + line.split()[0], test["command"], env, cwd))

reached = {}
for number, (case, command, env, cwd) in enumerate(runs, 1):
    delete_counts()
    os.makedirs(env.get("TMPDIR", "/tmp"), exist_ok=True)
    result = subprocess.run(command + ["--gtest_filter=" + case], capture_output=True, env=env,
                            cwd=cwd)
    report = os.path.join(out_dir, f"{number:03}.json")
    subprocess.run(["gcovr", "--root", root, "--object-directory", build, "--filter", "src/",
                    "--filter", "sim/", "--json", report], check=True, capture_output=True)
    lines = set()
    for source in json.load(open(report))["files"]:
        lines.update((source["file"], line["line_number"]) for line in source["lines"]
                     if line["count"] > 0 and not line.get("gcovr/noncode"))
    reached[case] = lines
    state = "" if result.returncode == 0 else " (failed)"
    print(f"[{number}/{len(runs)}] {case}{state}", file=sys.stderr, flush=True)

seen = collections.Counter(line for lines in reached.values() for line in lines)
print(f"{'own':>5} {'reached':>8}  case (lines of src/ and sim/ no other case of the run reaches)")
for own, total, case in sorted((sum(seen[line] == 1 for line in lines), len(lines), case)
                               for case, lines in reached.items()):
    print(f"{own:>5} {total:>8}  {case}")
