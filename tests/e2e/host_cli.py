#!/usr/bin/env python3
"""overlay_host's own surface: --version, --help, numbers it must refuse, the hello event that comes
before any other, and --api auto against the demo games (the build's tools/<name>_demo/). Runs inside
scripts/with-wine.sh:
    host_cli.py --host overlay_host.exe --version 26.00.02.1046 --readme README.md
"""
import argparse
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from overlay_e2e import Failure, Game, Host  # noqa: E402

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

    # --api auto picks the game's own API, though Wine's Direct3D loads opengl32.dll: by the start's
    # export event and the standard error line, and the overlay shows. The OpenGL game is launched
    # (looked at once it runs, the DLL in), the others are running already.
    tools = os.path.dirname(os.path.dirname(os.path.abspath(args.host)))
    work = os.path.join(os.path.dirname(tools), "tests", "e2e", "host_cli")
    os.makedirs(work, exist_ok=True)
    for name, api in (("d3d9", "d3d9"), ("d3d11", "dxgi"), ("gl", "opengl")):
        started = []
        exe = os.path.join(tools, name + "_demo", name + "_demo.exe")
        try:
            if name == "gl":
                target = ["--launch", exe]
            else:
                started.append(Game(name, ["wine", exe], work))
                target = ["--pid", str(started[0].pid())]
            host = Host(name + "_host", ["wine", args.host, "--api", "auto", "--log-dir", work] + target, work, stdin=True)
            started.append(host)
            host.event("export", "initializeOverlayEx with api " + api,
                       lambda e: e["name"] == "initializeOverlayEx" and e["result"] == 0 and e["api"] == api)
            with open(host.stderr.name) as err:
                text = err.read()
            if "overlay_host: --api auto chose %s (" % api not in text:
                raise Failure("no line naming %s on standard error" % api)
            host.event("ready")
            host.send("show")
            host.event("shown")
            print("PASS --api auto chose %s for the %s game, shown" % (api, name))
        except (Failure, subprocess.SubprocessError, KeyError) as e:
            print("FAIL --api auto on the %s game: %s" % (name, e))
            failures.append(name)
            for process in started:
                with open(process.stderr.name, errors="replace") as err:
                    print("  %s: %s\n  %s" % (process.name, process.history[-5:], err.read()[-1500:]))
        finally:
            launched = None
            if name == "gl" and started:  # the game the host started: by its Windows id
                with open(started[0].stderr.name) as err:
                    launched = re.search(r"game process (\d+)", err.read())
            if launched:
                subprocess.run(["wine", "taskkill", "/F", "/PID", launched.group(1)], capture_output=True, timeout=60)
            for process in reversed(started):
                process.kill()

    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
