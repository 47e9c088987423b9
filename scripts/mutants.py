#!/usr/bin/env python3
"""Mutation testing for the C++ sources: seed one small fault at a time, rebuild, run the tests.

A mutant is caught when the build succeeds and at least one test fails; it survives when every
test passes; it is "not compiled" when the build fails. Started through scripts/mutants.sh, which
prepares the build folder.
"""

import argparse
import collections
import hashlib
import json
import os
import random
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The faults seeded, as (rule name, pattern, replacement). Patterns apply to code with comments
# and string literals blanked out, so they never match inside either; the string rule works on
# the literals themselves. Each match of each rule on a line is one mutant.
RULES = [
    ("eq-ne", re.compile(r"(?<![=!<>])==(?!=)"), "!="),
    ("ne-eq", re.compile(r"!="), "=="),
    ("lt-le", re.compile(r"(?<=\s)<(?=\s)"), "<="),
    ("le-lt", re.compile(r"(?<=\s)<=(?=\s)"), "<"),
    ("gt-ge", re.compile(r"(?<=\s)>(?=\s)"), ">="),
    ("ge-gt", re.compile(r"(?<=\s)>=(?=\s)"), ">"),
    ("and-or", re.compile(r"&&"), "||"),
    ("or-and", re.compile(r"\|\|"), "&&"),
    ("true-false", re.compile(r"\btrue\b"), "false"),
    ("false-true", re.compile(r"\bfalse\b"), "true"),
    ("not-drop", re.compile(r"!(?=[\w(])"), ""),
    ("plus-minus", re.compile(r"(?<=\s)\+(?=\s)"), "-"),
    ("minus-plus", re.compile(r"(?<=\s)-(?=\s)"), "+"),
    ("int-plus-one", re.compile(r"(?<![\w.])(\d+)(?![\w.'x])"), None),
    ("error-id", re.compile(r"\bERR_[A-Z_]+\b"), None),
    ("drop-call", None, None),
    ("string-char", None, None),
]

ERROR_IDS = [
    "ERR_SUCCESS", "ERR_CANCELLED", "ERR_NO_TOKEN", "ERR_BAD_CERT_OR_PASSWORD",
    "ERR_KEYGEN_FAILED", "ERR_SEND_FAILED", "ERR_MULTIPLE_TOKENS", "ERR_CONNECTION",
    "ERR_TOKEN_DEVICE", "ERR_BAD_RESPONSE", "ERR_SERVER", "ERR_SERVER_CERT", "ERR_KEY_NOT_FOUND",
    "ERR_WRONG_PIN", "ERR_TOKEN_RESTRICTED", "ERR_TOKEN_FULL", "ERR_OLD_DRIVER", "ERR_KEYGEN_DATA",
]

# A statement that is one call whose result is not used: dropping it is "a return code ignored",
# "a secret not wiped", "a security option switched off".
CALL_STATEMENT = re.compile(r"^(\s*)(?!return\b|if\b|while\b|for\b|switch\b|case\b|else\b|do\b|"
                            r"delete\b|throw\b|co_)[\w:.\->~\[\]]+(<[\w:, *&]*>)?\(.*\);\s*$")
SKIP_LINE = re.compile(r"^\s*(#|static_assert|namespace\b|using\b|template\b|enum\b|"
                       r"struct\b|class\b|public:|private:|protected:|//)")


def blank_literals(line, in_comment):
    """The line with comments and string/char literals replaced by spaces, so that code rules
    never match inside them; also returns the string literals' spans and whether a block
    comment is still open at the end of the line."""
    out = []
    strings = []
    i = 0
    n = len(line)
    while i < n:
        if in_comment:
            end = line.find("*/", i)
            if end < 0:
                out.append(" " * (n - i))
                return "".join(out), strings, True
            out.append(" " * (end + 2 - i))
            i = end + 2
            in_comment = False
            continue
        c = line[i]
        if line.startswith("//", i):
            out.append(" " * (n - i))
            break
        if line.startswith("/*", i):
            in_comment = True
            continue
        if line.startswith('R"', i):  # raw strings: leave the line alone
            out.append(" " * (n - i))
            break
        if c in "\"'":
            j = i + 1
            while j < n and line[j] != c:
                j += 2 if line[j] == "\\" else 1
            j = min(j, n - 1)
            if c == '"':
                strings.append((i, j + 1))
            out.append(c + " " * (j - i - 1) + line[j])
            i = j + 1
            continue
        out.append(c)
        i += 1
    return "".join(out), strings, in_comment


class Mutant:
    def __init__(self, path, lineno, rule, occurrence, original, mutated):
        self.path = path
        self.lineno = lineno
        self.rule = rule
        self.original = original
        self.mutated = mutated
        key = f"{path}\0{original.strip()}\0{rule}\0{occurrence}\0{mutated.strip()}"
        self.id = "M" + hashlib.sha1(key.encode()).hexdigest()[:10]

    def describe(self):
        return (f"{self.id} {self.path}:{self.lineno} [{self.rule}]\n"
                f"      - {self.original.strip()}\n      + {self.mutated.strip()}")


def mutants_of_file(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        lines = f.read().split("\n")
    found = []
    in_comment = False
    for index, line in enumerate(lines):
        code, strings, in_comment_after = blank_literals(line, in_comment)
        skip = in_comment or SKIP_LINE.match(line) or not code.strip()
        in_comment = in_comment_after
        if skip:
            continue
        seen = collections.Counter()

        def add(rule, mutated):
            if mutated != line:
                seen[rule] += 1
                found.append(Mutant(path, index + 1, rule, seen[rule], line, mutated))

        for name, pattern, replacement in RULES:
            if name == "drop-call":
                if CALL_STATEMENT.match(code) and code.rstrip().endswith(");"):
                    add(name, re.match(r"\s*", line).group(0) + "(void)0;")
                continue
            if name == "string-char":
                for start, end in strings:
                    body = line[start + 1:end - 1]
                    pos = next((k for k, ch in enumerate(body)
                                if ch.isalpha() and (k == 0 or body[k - 1] != "\\")), None)
                    if pos is None or len(body) < 3:
                        continue
                    ch = body[pos]
                    swapped = ch.lower() if ch.isupper() else ch.upper()
                    add(name, line[:start + 1 + pos] + swapped + line[start + 2 + pos:])
                continue
            for m in pattern.finditer(code):
                if name == "int-plus-one":
                    new = str(int(m.group(1)) + 1)
                elif name == "error-id":
                    if m.group(0) not in ERROR_IDS:
                        continue
                    k = ERROR_IDS.index(m.group(0))
                    new = ERROR_IDS[(k + 1) % len(ERROR_IDS)]
                else:
                    new = replacement
                add(name, line[:m.start()] + new + line[m.end():])
    return found


def default_files():
    out = subprocess.run(["git", "ls-files", "src"], cwd=ROOT, capture_output=True, text=True,
                         check=True).stdout.split()
    return [p for p in out if p.endswith(".cpp")]


def folder_of(path):
    parts = path.split("/")
    return "/".join(parts[:2]) if len(parts) > 2 else parts[0]


def choose(all_mutants, sample, per_file, seed):
    """Spread the sample over folders, then files, with a fixed seed."""
    rng = random.Random(seed)
    by_file = collections.defaultdict(list)
    for m in all_mutants:
        by_file[m.path].append(m)
    for path in by_file:
        rng.shuffle(by_file[path])
        if per_file:
            by_file[path] = by_file[path][:per_file]
    by_folder = collections.defaultdict(list)
    for path in sorted(by_file):
        by_folder[folder_of(path)].append(path)
    chosen = []
    folders = sorted(by_folder)
    cursor = {f: 0 for f in folders}
    while len(chosen) < sample and any(by_file[p] for f in folders for p in by_folder[f]):
        for f in folders:
            paths = [p for p in by_folder[f] if by_file[p]]
            if not paths or len(chosen) >= sample:
                continue
            path = paths[cursor[f] % len(paths)]
            cursor[f] += 1
            chosen.append(by_file[path].pop())
    return chosen


def load_equivalent(path):
    marks = {}
    if os.path.exists(path):
        for line in open(path, encoding="utf-8"):
            line = line.strip()
            if line and not line.startswith("#"):
                ident, _, reason = line.partition(" ")
                marks[ident] = reason.strip()
    return marks


class Tree:
    """Applies one mutant at a time and puts every file back on every way out."""

    def __init__(self):
        self.saved = {}

    def apply(self, mutant):
        full = os.path.join(ROOT, mutant.path)
        with open(full, encoding="utf-8") as f:
            text = f.read()
        self.saved[full] = text
        lines = text.split("\n")
        lines[mutant.lineno - 1] = mutant.mutated
        with open(full, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))

    def restore(self):
        for full, text in self.saved.items():
            with open(full, "w", encoding="utf-8") as f:
                f.write(text)
        self.saved.clear()


def test_programs(build):
    """Each test's name, programs and labels, as CTest lists them. A test run through a wrapper
    (a token stack started around it) names its program among the wrapper's arguments, so every
    word of the command counts."""
    out = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"], cwd=ROOT,
                         capture_output=True, text=True, check=True).stdout
    tests = []
    for t in json.loads(out).get("tests", []):
        labels = next((p["value"] for p in t.get("properties", []) if p["name"] == "LABELS"), [])
        # A test whose program is not built yet (outside --targets) has no command.
        tests.append((t["name"], tuple(t.get("command", ())), labels))
    return tests


def stamps(paths):
    return {p: os.stat(p).st_mtime_ns if os.path.exists(p) else 0 for p in paths}


def affected_tests(tests, before, after, helpers):
    """Tests whose program was relinked by this mutant's build, and the tests that run a
    relinked helper program (the simulator) as a child process."""
    changed = {p for p in after if after[p] != before[p]}
    names = [name for name, command, _ in tests if changed.intersection(command)]
    for helper, labels in helpers.items():
        if helper in changed:
            names += [name for name, _, ls in tests if set(ls) & labels]
    return sorted(set(names))


def run(cmd, timeout):
    try:
        return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", help="sources to mutate (default: every .cpp of src/)")
    parser.add_argument("--build", default="build-mutants")
    parser.add_argument("--sample", type=int, default=0, help="how many mutants (0: all)")
    parser.add_argument("--per-file", type=int, default=0, help="at most this many per file")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--ids", help="file naming the mutants to run (one id per line)")
    parser.add_argument("--save", help="write the chosen mutants' ids to this file")
    parser.add_argument("--list", action="store_true", help="list the mutants, run nothing")
    parser.add_argument("--equivalent", default=os.path.join(ROOT, "scripts",
                                                             "mutants-equivalent.txt"))
    parser.add_argument("--ctest", default="", help="extra ctest arguments, e.g. '-L token'")
    parser.add_argument("--targets", default="",
                        help="build only these targets, e.g. the programs of the --ctest tests "
                             "(much faster for a library many programs link)")
    parser.add_argument("--test-timeout", type=int, default=1800,
                        help="seconds for one mutant's whole test run")
    args = parser.parse_args()

    files = args.files or default_files()
    all_mutants = [m for path in files for m in mutants_of_file(path)]
    if args.ids:
        wanted = [l.split()[0] for l in open(args.ids, encoding="utf-8")
                  if l.strip() and not l.startswith("#")]
        index = {m.id: m for m in all_mutants}
        missing = [w for w in wanted if w not in index]
        if missing:
            print(f"mutants: {len(missing)} ids no longer match the sources: "
                  + " ".join(missing[:10]), file=sys.stderr)
        chosen = [index[w] for w in wanted if w in index]
    elif args.sample:
        chosen = choose(all_mutants, args.sample, args.per_file, args.seed)
    else:
        chosen = choose(all_mutants, len(all_mutants), args.per_file, args.seed)
    chosen.sort(key=lambda m: (m.path, m.lineno, m.id))

    if args.save:
        with open(args.save, "w", encoding="utf-8") as f:
            for m in chosen:
                f.write(f"{m.id} {m.path}:{m.lineno} {m.rule}\n")
    if args.list:
        for m in chosen:
            print(m.describe())
        print(f"{len(chosen)} mutants of {len(all_mutants)} in {len(files)} files")
        return 0

    equivalent = load_equivalent(args.equivalent)
    tree = Tree()

    def stop(signum, _frame):
        tree.restore()
        print(f"\nmutants: stopped by signal {signum}; sources restored", file=sys.stderr)
        sys.exit(130)

    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)

    build = ["cmake", "--build", args.build, "-j", str(os.cpu_count() or 2)]
    if args.targets:
        build += ["--target"] + args.targets.split()
    # A -R of the caller narrows the affected tests: ctest itself would keep only the last -R.
    extra = args.ctest.split()
    wanted_tests = None
    if "-R" in extra:
        at = extra.index("-R")
        wanted_tests = re.compile(extra[at + 1])
        del extra[at:at + 2]
    ctest = ["ctest", "--test-dir", args.build, "-j", str(os.cpu_count() or 2),
             "--stop-on-failure", "--timeout", "600"] + extra
    if run(build, 3600) != 0:
        print("mutants: the unmutated tree does not build", file=sys.stderr)
        return 2

    tests = test_programs(args.build)
    # Programs the tests start as child processes, and the labels of the tests that start them.
    helpers = {os.path.join(ROOT, args.build, "sim", "quorvane-authority-sim"): {"sim", "e2e"},
               os.path.join(ROOT, args.build, "src", "doctor", "quorvane-enroll-doctor"):
                   {"token", "sim", "tokens"}}
    watched = [word for _, command, _ in tests for word in command if os.path.isabs(word)]
    watched += list(helpers)

    results = collections.defaultdict(lambda: collections.Counter())
    survivors = []
    started = time.time()
    try:
        for n, m in enumerate(chosen, 1):
            before = stamps(watched)
            tree.apply(m)
            try:
                if run(build, 3600) != 0:
                    outcome = "not compiled"
                elif (names := [n for n in affected_tests(tests, before, stamps(watched), helpers)
                                if wanted_tests is None or wanted_tests.search(n)]) and \
                        run(ctest + ["-R", "^(" + "|".join(map(re.escape, names)) + ")$"],
                            args.test_timeout) != 0:
                    outcome = "caught"
                elif m.id in equivalent:
                    outcome = "equivalent"
                else:
                    outcome = "survived"
                    survivors.append(m)
            finally:
                tree.restore()
            results[m.path][outcome] += 1
            print(f"[{n}/{len(chosen)} {time.time() - started:6.0f}s] {outcome:<12} {m.id} "
                  f"{m.path}:{m.lineno} [{m.rule}]", flush=True)
    finally:
        tree.restore()
        run(build, 3600)  # leave the build folder matching the sources

    kinds = ["caught", "survived", "not compiled", "equivalent"]
    print(f"\n{'file':<44} " + " ".join(f"{k:>12}" for k in kinds))
    total = collections.Counter()
    for path in sorted(results):
        total.update(results[path])
        print(f"{path:<44} " + " ".join(f"{results[path][k]:>12}" for k in kinds))
    print(f"{'total':<44} " + " ".join(f"{total[k]:>12}" for k in kinds))
    scored = total["caught"] + total["survived"]
    if scored:
        print(f"score: {100.0 * total['caught'] / scored:.1f}% of the mutants that compile "
              f"({total['caught']}/{scored}; equivalent ones left out)")
    if survivors:
        print("\nsurvived:")
        for m in survivors:
            print("  " + m.describe())
    return 0


if __name__ == "__main__":
    sys.exit(main())
