#!/usr/bin/env python3
"""Mutation check: how many small faults put into the product code do the tests catch?

Run through scripts/mutate.sh, which sets up Wine. The mutants are kept in tests/mutants/*.ini, one
section each:

    [client.stop-code]
    file = src/overlay/overlay_client/impl/overlay_client.cpp
    sed = /send("onClientStopped"/s/static_cast<int32_t>(code)/0/
    tests = ^client_hostile\\.HostFaults$
    why = every stop reaches the host as a clean one; a host never hears why the client stopped

- `sed` is one sed expression that must change exactly one line of `file`.
- `tests` is a ctest regular expression over the Wine build's entries; `native` one over the native
  build's (tests/native). Either or both.
- `filter` (optional) is a GoogleTest filter for the programs those entries run (GTEST_FILTER), to
  run only the cases that reach the mutated code when the whole program is slow.
- `equivalent = reason` marks a mutant that cannot change behaviour: listed, never run, left out of
  the score.

The work happens in a copy of the working tree (uncommitted changes included) with its own build
folders, so the tree itself is never touched and later runs rebuild only what changed. For each
mutant: apply, rebuild the programs its tests run, run those tests, restore. A mutant is killed when
a test fails or runs past its time limit.
"""

import argparse
import configparser
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time


def log(text):
    print(text, flush=True)


def tracked_files(root):
    out = subprocess.run(["git", "-C", root, "ls-files", "-co", "--exclude-standard", "-z"],
                         check=True, capture_output=True).stdout
    return [f for f in out.decode().split("\0") if f and os.path.isfile(os.path.join(root, f))]


def sync_tree(root, copy):
    """Makes `copy` hold the working tree's files; unchanged files keep their times (no rebuild)."""
    files = set(tracked_files(root))
    for name in files:
        source, target = os.path.join(root, name), os.path.join(copy, name)
        if os.path.exists(target):
            with open(source, "rb") as a, open(target, "rb") as b:
                if a.read() == b.read():
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target)
    for folder, dirs, names in os.walk(copy):
        rel = os.path.relpath(folder, copy)
        if rel == "." and "build" in dirs:
            dirs.remove("build")
        for name in names:
            path = os.path.normpath(os.path.join(rel, name))
            if path not in files:
                os.remove(os.path.join(folder, name))


def load_mutants(root):
    mutants = []
    for path in sorted(glob.glob(os.path.join(root, "tests", "mutants", "*.ini"))):
        parser = configparser.ConfigParser(interpolation=None)
        parser.optionxform = str
        parser.read(path)
        for name in parser.sections():
            section = parser[name]
            mutant = {"id": name, "list": os.path.basename(path)}
            for key in ("file", "sed", "tests", "native", "filter", "why", "equivalent"):
                mutant[key] = section.get(key, "").strip()
            if not mutant["file"] or not mutant["sed"] or not mutant["why"] or \
                    not (mutant["tests"] or mutant["native"] or mutant["equivalent"]):
                sys.exit("mutate: %s [%s] needs file, sed, why and tests or native" % (path, name))
            mutants.append(mutant)
    return mutants


def apply_mutant(copy, mutant):
    """Applies the sed expression; returns the original text, or raises when not one line changed."""
    path = os.path.join(copy, mutant["file"])
    with open(path, "rb") as f:
        original = f.read()
    subprocess.run(["sed", "-i", "-e", mutant["sed"], path], check=True)
    with open(path, "rb") as f:
        mutated = f.read()
    before, after = original.split(b"\n"), mutated.split(b"\n")
    changed = len(before) != len(after) or sum(a != b for a, b in zip(before, after)) != 1
    if changed:
        restore(path, original)
        raise ValueError("the expression does not change exactly one line of %s" % mutant["file"])
    return path, original


def restore(path, original):
    with open(path, "wb") as f:
        f.write(original)


class Build:
    """One CMake build folder of the copy and its ctest entries."""

    def __init__(self, source, folder, configure_args, everything=False):
        self.source, self.folder = source, folder
        self.configure_args = configure_args
        self.everything = everything
        self.entries = None

    def configure(self):
        subprocess.run(["cmake", "-S", self.source, "-B", self.folder] + self.configure_args,
                       check=True, stdout=subprocess.DEVNULL)
        listing = subprocess.run(["ctest", "--test-dir", self.folder, "--show-only=json-v1"],
                                 check=True, capture_output=True, text=True).stdout
        self.entries = {t["name"]: t.get("command", []) for t in json.loads(listing)["tests"]}

    def select(self, pattern):
        names = [n for n in self.entries if re.search(pattern, n)]
        if not names:
            raise ValueError("no ctest entry matches %r in %s" % (pattern, self.folder))
        return names

    def targets(self, names):
        """The programs the entries run: each .exe inside the build folder is named after its target.
        The native build's fuzz targets come from a nested project: there everything is rebuilt."""
        if self.everything:
            return []
        found = set()
        for name in names:
            for argument in self.entries[name]:
                if argument.endswith(".exe") and argument.startswith(self.folder):
                    found.add(os.path.basename(argument)[:-4])
        return sorted(found)

    def build(self, targets, jobs):
        command = ["cmake", "--build", self.folder, "-j", str(jobs)]
        for target in targets:
            command += ["--target", target]
        return subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

    def run(self, names, jobs, limit, gtest_filter=""):
        """Runs the entries; returns (passed, seconds, failing entries)."""
        pattern = "^(" + "|".join(re.escape(n) for n in names) + ")$"
        environment = dict(os.environ)
        if gtest_filter:
            environment["GTEST_FILTER"] = gtest_filter
        start = time.monotonic()
        process = subprocess.Popen(["ctest", "--test-dir", self.folder, "-R", pattern, "-j", str(jobs),
                                    "--stop-on-failure", "--no-tests=error"],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                   start_new_session=True, env=environment)
        try:
            output, _ = process.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
            return False, time.monotonic() - start, ["(time limit %d s)" % limit]
        failing = re.findall(r"\d+ - (\S+) \(", output)
        return process.returncode == 0, time.monotonic() - start, failing


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--thrift", required=True)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--list", action="store_true", help="print the mutants and exit")
    parser.add_argument("only", nargs="*", help="regular expressions over mutant ids")
    args = parser.parse_args()

    mutants = load_mutants(args.root)
    if args.only:
        mutants = [m for m in mutants if any(re.search(p, m["id"]) for p in args.only)]
    if args.list:
        for m in mutants:
            log("%-32s %s%s" % (m["id"], "(equivalent) " if m["equivalent"] else "", m["why"]))
        return 0
    equivalent = [m for m in mutants if m["equivalent"]]
    live = [m for m in mutants if not m["equivalent"]]

    copy = os.path.join(args.work, "tree")
    os.makedirs(copy, exist_ok=True)
    sync_tree(args.root, copy)
    wine = Build(copy, os.path.join(copy, "build"),
                 ["-DTHRIFT_ROOT=" + args.thrift, "-DOVERLAY_BUILD_BENCH=OFF"])
    native = Build(os.path.join(copy, "tests", "native"), os.path.join(copy, "build", "native"),
                   ["-DCMAKE_BUILD_TYPE=Release"], everything=True)
    log("mutate: building the copy in %s" % copy)
    for build in (wine, native):
        build.configure()
        result = build.build([], args.jobs)
        if result.returncode != 0:
            sys.stderr.write(result.stderr)
            sys.exit("mutate: the unmutated tree does not build")

    # Each mutant's entries and programs, and a time limit from the unmutated run of those entries.
    plans = []
    for m in live:
        plan = []
        for build, key in ((wine, "tests"), (native, "native")):
            if m[key]:
                names = build.select(m[key])
                plan.append((build, names, build.targets(names)))
        plans.append(plan)
    baseline = {}
    for m, plan in zip(live, plans):
        for build, names, _ in plan:
            key = (build.folder, tuple(names), m["filter"])
            if key in baseline:
                continue
            passed, seconds, failing = build.run(names, args.jobs, 1800, m["filter"])
            if not passed:
                sys.exit("mutate: unmutated, these tests fail: %s" % " ".join(failing))
            baseline[key] = seconds
            log("mutate: baseline %s: %.0f s" % (" ".join(names), seconds))

    killed, survived, broken = [], [], []
    started = time.monotonic()
    for index, (m, plan) in enumerate(zip(live, plans), 1):
        prefix = "[%d/%d] %s" % (index, len(live), m["id"])
        try:
            path, original = apply_mutant(copy, m)
        except (ValueError, subprocess.CalledProcessError) as e:
            log("%s: BROKEN: %s" % (prefix, e))
            broken.append(m)
            continue
        try:
            verdict, detail = "SURVIVED", ""
            for build, names, targets in plan:
                result = build.build(targets, args.jobs)
                if result.returncode != 0:
                    verdict, detail = "BROKEN", "does not build: " + result.stderr.strip()[-300:]
                    break
                limit = max(60, 4 * baseline[(build.folder, tuple(names), m["filter"])])
                passed, seconds, failing = build.run(names, args.jobs, limit, m["filter"])
                if not passed:
                    verdict, detail = "KILLED", "by %s in %.0f s" % (" ".join(failing) or "ctest", seconds)
                    break
        finally:
            restore(path, original)
        log("%s: %s %s" % (prefix, verdict, detail))
        if verdict == "SURVIVED":
            log("    %s: %s" % (m["file"], m["why"]))
        {"KILLED": killed, "SURVIVED": survived, "BROKEN": broken}[verdict].append(m)

    log("")
    log("mutate: %d mutants run in %.0f min; %d equivalent, left out:" %
        (len(live), (time.monotonic() - started) / 60, len(equivalent)))
    for m in equivalent:
        log("    %s: %s" % (m["id"], m["equivalent"]))
    for m in survived:
        log("survived: %s (%s): %s" % (m["id"], m["file"], m["why"]))
    for m in broken:
        log("broken: %s (%s): mend its entry in tests/mutants/%s" % (m["id"], m["file"], m["list"]))
    scored = len(killed) + len(survived)
    score = 100.0 * len(killed) / scored if scored else 0.0
    log("mutate: %d killed, %d survived, %d broken: score %.1f %%" %
        (len(killed), len(survived), len(broken), score))
    return 0 if not broken and score >= 90.0 else 1


if __name__ == "__main__":
    sys.exit(main())
