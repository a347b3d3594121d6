#!/usr/bin/env python3
"""Bringing the overlay into games that render on their only thread and never wait in the system
(the demo games with --single-thread), where a thread started from outside can hang the game under
Wine. Each run: overlay_host --launch (the DLL as an import) or --pid (through a message hook) brings
the overlay up, shows it, forwards a key, hides it, and the game's close ends with stopped 0. Then the
failures: a DLL that does not exist, a game that ends during the start, a game whose threads are all
stopped; each must end the host with a named error and exit code 1 within its bound.

Runs inside scripts/with-wine.sh (WINEPREFIX and DISPLAY set):
    injection_e2e.py --game d3d11_demo.exe --api dxgi --host overlay_host.exe --work DIR [--runs N] [--failures]
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from overlay_e2e import TIMEOUT, Failure, Game, Host, layout, report_failure, xdotool  # noqa: E402

GAME_ARGS = ["--single-thread", "--sync", "0", "--report-input", "10", "--pos", "40,40"]


class Runner:
    def __init__(self, args):
        self.args = args
        self.logs = os.path.join(args.work, "logs")
        os.makedirs(self.logs, exist_ok=True)
        self.started = []
        self.windows_pids = []  # games the host launched: stopped by their Windows process id
        self.count = 0

    def host(self, *extra):
        self.count += 1
        host = Host("host%d" % self.count, ["wine", self.args.host, "--log-dir", self.logs, "--api", self.args.api,
                                            "--pipe", "injection_e2e_%d_%d" % (os.getpid(), self.count)]
                    + self.args.host_arg + list(extra), self.args.work, stdin=True)
        self.started.append(host)
        return host

    def game(self, *extra):
        self.count += 1
        game = Game("game%d" % self.count, ["wine", self.args.game] + GAME_ARGS + list(extra), self.args.work)
        self.started.append(game)
        return game, game.pid()

    def launched_pid(self, host):
        """The Windows id of the game the host launched, from its progress line."""
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            with open(host.stderr.name, errors="replace") as err:
                match = re.search(r"overlay_host: game process (\d+)", err.read())
            if match:
                self.windows_pids.append(int(match.group(1)))
                return int(match.group(1))
            time.sleep(0.05)
        raise Failure("%s did not name the game's process" % host.name)

    def bring_up(self, mode):
        """One injection, used as a player would, then the game closed."""
        game = None
        if mode == "launch":
            host = self.host("--launch", self.args.game, *GAME_ARGS)
            self.launched_pid(host)
        else:
            game, pid = self.game()
            host = self.host("--pid", str(pid))
        host.export("initializeOverlayEx", 0)
        host.event("ready")
        surface, panel, centre = layout(host.event("registered")["scurfaceBounds"])
        host.export("prepareOverlay", 0)
        xdotool("mousemove", centre[0], centre[1], "click", 1)
        host.send("show")
        host.event("shown")
        xdotool("key", "a")
        host.event("key", "key down A", lambda e: e["type"] == 0 and e["windowsKeyCode"] == 0x41)
        host.send("hide")
        host.event("hidden")
        xdotool("mousemove", centre[0], centre[1], "key", "Escape")
        host.event("stopped", "stopped with code 0", lambda e: e["code"] == 0)
        code = host.wait()
        if code != 0:
            raise Failure("the host ended with %d after the game closed" % code)
        if game is not None:
            game.wait()

    def expect_failure(self, host, message, bound):
        """The host's error event carrying `message`, then exit code 1, all within `bound` seconds."""
        started = time.monotonic()
        error = host.event("error", "error naming '%s'" % message, lambda e: message in e["message"], timeout=bound)
        code = host.wait(timeout=max(1.0, bound - (time.monotonic() - started)))
        if code != 1:
            raise Failure("the host ended with %d after: %s" % (code, error["message"]))
        return error["message"], time.monotonic() - started

    def failures(self):
        missing = "Z:\\nonexistent\\overlay_client_x64.dll"
        message, spent = self.expect_failure(self.host("--dll", missing, "--launch", self.args.game, *GAME_ARGS),
                                             "cannot be opened", 20)
        print("PASS a DLL that does not exist: '%s' in %.1f s, no game started" % (message, spent))

        # A command line the game refuses: it ends (code 2) once the DLL is in, before any frame.
        host = self.host("--timeout-ms", "20000", "--launch", self.args.game, *GAME_ARGS, "--no-such-option")
        message, spent = self.expect_failure(host, "the game ended", 40)
        print("PASS a game that ends during the start: '%s' in %.1f s" % (message, spent))

        # All its threads stopped (SIGSTOP; wine runs the game in place): nothing takes the hook's
        # message. Once let go, the same game takes the overlay as usual: nothing was left behind.
        game, pid = self.game()
        os.kill(game.proc.pid, signal.SIGSTOP)
        try:
            host = self.host("--timeout-ms", "3000", "--pid", str(pid))
            message, spent = self.expect_failure(host, "did not load the overlay within 3000 ms", 20)
        finally:
            os.kill(game.proc.pid, signal.SIGCONT)
        game.counts()
        host = self.host("--pid", str(pid))
        host.event("ready")
        host.send("quit")
        host.wait()
        print("PASS a game whose threads are stopped: '%s' in %.1f s; let go, it takes the overlay" % (message, spent))

    def stop_all(self):
        for pid in self.windows_pids:
            subprocess.run(["wine", "taskkill", "/F", "/PID", str(pid)], capture_output=True, timeout=TIMEOUT)
        for process in self.started:
            if isinstance(process, Game) and process.proc.poll() is None:
                os.kill(process.proc.pid, signal.SIGCONT)  # a stopped process cannot end
            process.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--game", required=True)
    parser.add_argument("--api", choices=["dxgi", "d3d9"], default="dxgi")
    parser.add_argument("--host", required=True)
    parser.add_argument("--host-arg", action="append", default=[],
                        help="one more argument for every host started, e.g. --dll32=PATH")
    parser.add_argument("--work", required=True)
    parser.add_argument("--runs", type=int, default=2, help="injections of each kind")
    parser.add_argument("--failures", action="store_true", help="also the failed starts")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    runner = Runner(args)
    results = {"launch": [], "pid": []}
    try:
        for run in range(args.runs):
            for mode in ("launch", "pid"):
                started = time.monotonic()
                runner.bring_up(mode)
                results[mode].append(time.monotonic() - started)
                print("PASS --%s run %d: ready, registered, shown, key forwarded, hidden, stopped 0 (%.1f s)"
                      % (mode, run + 1, results[mode][-1]), flush=True)
        if args.failures:
            runner.failures()
    except (Failure, subprocess.SubprocessError) as e:
        report_failure(e, runner.started)
        for process in runner.started:
            with open(process.stderr.name, errors="replace") as err:
                print("--- %s standard error (last lines) ---\n%s" % (process.name, "".join(err.readlines()[-10:])))
        return 1
    finally:
        runner.stop_all()
    crashed = [(p.name, p.crash()) for p in runner.started if p.crash()]
    for name, line in crashed:
        print("FAIL %s crashed: %s" % (name, line))
    if crashed:
        return 1
    print("%d injections with --launch and %d with --pid passed" % (len(results["launch"]), len(results["pid"])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
