#!/usr/bin/env python3
"""overlay_host's own surface, without a game: --version, --help, numbers it must refuse, and the
hello event that comes before any other. Runs inside scripts/with-wine.sh:
    host_cli.py --host overlay_host.exe --version 26.00.02.1046 --readme README.md
"""
import argparse
import json
import re
import subprocess
import sys

MISSING_DLL = "Z:\\nonexistent\\overlay_client_x64.dll"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--readme", required=True)
    args = parser.parse_args()
    failures = []

    def host(*argv):
        # subprocess.run kills the host by its id if it outlives the time-out.
        return subprocess.run(["wine", args.host] + list(argv), capture_output=True, text=True, timeout=60)

    def check(ok, what, run):
        print("%s %s" % ("PASS" if ok else "FAIL", what))
        if not ok:
            failures.append(what)
            print("  exit %d\n  stdout: %r\n  stderr: %r" % (run.returncode, run.stdout, run.stderr[-2000:]))

    run = host("--version")
    check(run.returncode == 0 and run.stdout.strip() == args.version, "--version prints %s" % args.version, run)

    # Every option the README documents has a line of its own in --help.
    with open(args.readme) as readme:
        documented = set(re.findall(r"^\| `(--[a-z-]+)", readme.read(), re.M))
    run = host("--help")
    listed = set(re.findall(r"^\s+(?:-\w,)?(--[a-z-]+)", run.stdout, re.M))
    check(run.returncode == 0 and len(documented) >= 12 and documented <= listed,
          "--help lists the %d documented options" % len(documented), run)

    for option, value in (("--pid", "-1"), ("--timeout-ms", "1x"), ("--timeout-ms", "4294967296")):
        argv = ["--dll", MISSING_DLL, option, value] + (["--pid", "1"] if option != "--pid" else [])
        run = host(*argv)
        check(run.returncode == 2 and run.stdout == "" and option in run.stderr and value in run.stderr,
              "%s %s is refused with exit code 2 and a message" % (option, value), run)

    # A start that fails (no DLL) still begins with hello; every line is strict JSON.
    run = host("--dll", MISSING_DLL, "--pid", "1")
    try:
        events = [json.loads(line, parse_constant=lambda c: 1 / 0) for line in run.stdout.splitlines()]
    except (ValueError, ZeroDivisionError):
        events = []
    check(run.returncode == 1 and len(events) == 2 and events[0] == {"event": "hello", "version": args.version,
                                                                     "protocol": 1}
          and events[1]["event"] == "error", "hello comes first, then the failed start's error", run)

    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
