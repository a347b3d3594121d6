#!/usr/bin/env python3
"""The game's input while the overlay is shown, on every channel the game reads (the demo game with
--input-channels: window messages, raw input, the polled key state, DirectInput 8, XInput), with
real X input. Each press belongs to the side that got its down: keys held across the show are
released for the game, the keys that close the overlay never reach it, a key pressed while shown and
released after the hide gives the host its key-up. Wine derives the polled state, raw input and
DirectInput from the window thread's messages; the stand-in tests (tests/input) show those hooks.

Runs inside scripts/with-wine.sh (WINEPREFIX and DISPLAY set):
    input_e2e.py --game d3d11_demo.exe --api dxgi --host overlay_host.exe --work DIR
"""
import argparse
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from overlay_e2e import TIMEOUT, Failure, Game, Host, layout, report_failure, xdotool  # noqa: E402

VK_A, VK_S, VK_K, VK_RBUTTON = 0x41, 0x53, 0x4B, 0x02


class ChannelGame(Game):
    def channels(self):
        """{channel: (presses, held virtual keys)} from the next channels line; channels that are
        unavailable or have no device (no pad here) are left out. Raw input comes in two channels
        that share one queue: their presses are summed under "raw+buffer"."""
        self.drain()
        deadline = time.monotonic() + TIMEOUT
        while True:
            line, _ = self.next_line(deadline)
            if line is None:
                raise Failure("the game printed no channels line")
            if line.startswith("channels "):
                break
        found = {}
        for name, presses, held in re.findall(r"(\w+)=(\d+):(\S+)", line):
            found[name] = (int(presses), set() if held == "-" else {int(k) for k in held.split("+")})
        if "raw" in found and "rawbuffer" in found:
            found["raw+buffer"] = (found["raw"][0] + found["rawbuffer"][0], set())
            del found["raw"], found["rawbuffer"]
        return found

    def settled(self):
        """Channels once two reports in a row agree: the frames after the last input are read."""
        last = self.channels()
        while True:
            now = self.channels()
            if now == last:
                return now
            last = now

    def wait(self, what, check):
        deadline = time.monotonic() + TIMEOUT
        while True:
            now = self.channels()
            if check(now):
                return now
            if time.monotonic() > deadline:
                raise Failure("the game's channels never showed %s: %s" % (what, now))


def presses(state):
    return {name: value[0] for name, value in state.items()}


def held(state):
    # DirectInput names keys by scan code; a held key anywhere is a held key.
    return {name: value[1] for name, value in state.items() if value[1] and name != "raw+buffer"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--game", required=True)
    parser.add_argument("--api", choices=["dxgi", "d3d9"], default="dxgi")
    parser.add_argument("--host", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    logs = os.path.join(args.work, "logs")
    os.makedirs(logs, exist_ok=True)
    started = []
    try:
        game = ChannelGame("game", ["wine", args.game, "--input-channels", "--report-input", "5", "--pos", "40,40"],
                           args.work)
        started.append(game)
        host = Host("host", ["wine", args.host, "--pid", str(game.pid()), "--log-dir", logs, "--api", args.api, "--hotkeys",
                             "--pipe", "input_e2e_%d" % os.getpid()], args.work, stdin=True)
        started.append(host)
        host.event("ready")
        surface, panel, centre = layout(host.event("registered")["scurfaceBounds"])
        xdotool("mousemove", centre[0], centre[1], "click", 1)

        def show():
            host.send("show")
            host.event("shown")

        def hide():
            host.send("hide")
            host.event("hidden")

        # Hidden, the game has its input on every channel Wine delivers.
        before = presses(game.settled())
        xdotool("keydown", "a", "mousedown", 1, "sleep", 0.3, "keyup", "a", "mouseup", 1)
        after = presses(game.wait("a key and a click", lambda s: s["message"][0] >= before["message"] + 2))
        delivering = sorted(name for name in after if after[name] > before[name])
        print("PASS hidden: the game reads the input on %s" % ", ".join(delivering))

        # A key and a button held across the show, released while shown: released for the game.
        xdotool("keydown", "s", "mousedown", 3)
        game.wait("S and the right button held", lambda s: {VK_S, VK_RBUTTON} <= s["message"][1])
        show()
        xdotool("keyup", "s", "mouseup", 3)
        game.wait("S and the right button released everywhere", lambda s: not held(s))
        print("PASS held across the show and released while shown: released for the game on every channel")

        # While shown no channel moves: keys, clicks, a held key.
        still = presses(game.settled())
        xdotool("key", "x", "click", 1, "keydown", "d", "sleep", 0.3, "keyup", "d")
        host.event("key", "key up D", lambda e: e["type"] == 2 and e["windowsKeyCode"] == 0x44)
        now = game.settled()
        if presses(now) != still or held(now):
            raise Failure("the game read input while shown: %s -> %s" % (still, now))
        print("PASS shown: keys, clicks and a held key reach the host; no channel moves")

        # Escape asks the host to hide (it does); its release goes to the host, not the game.
        xdotool("keydown", "Escape", "sleep", 0.2, "keyup", "Escape")
        host.event("requestHide")
        host.event("hidden")
        now = game.settled()
        if presses(now) != still or held(now):
            raise Failure("the game saw Escape: %s -> %s" % (still, now))
        # Both hotkeys on and off: only the modifier pressed while hidden reaches the game, and it
        # is released; Tab and Space never do.
        for keys in ("shift+Tab", "ctrl+space"):
            xdotool("key", keys)
            host.event("requestShow")
            show()
            xdotool("key", keys)
            host.event("requestHide")
            host.event("hidden")
        # Raw input and DirectInput come apart from the messages, before the key that makes a hotkey is
        # known to be one, and polling misses quick presses: the messages are held to the count.
        now = game.settled()
        if presses(now)["message"] != still["message"] + 2 or held(now):
            raise Failure("the hotkeys reached the game: %s -> %s" % (still, now))
        print("PASS Escape and both hotkeys: the game saw only the two modifiers pressed while hidden, "
              "no key left held on any channel")

        # Pressed while shown, released after the hide: the host gets the key-up, the game nothing.
        still = presses(now)
        show()
        xdotool("keydown", "k")
        host.event("key", "key down K", lambda e: e["type"] == 0 and e["windowsKeyCode"] == VK_K)
        hide()
        xdotool("keyup", "k")
        host.event("key", "key up K", lambda e: e["type"] == 2 and e["windowsKeyCode"] == VK_K)
        now = game.settled()
        if presses(now) != still or held(now):
            raise Failure("the game saw K: %s -> %s" % (still, now))

        # Hidden again, every channel that delivered before moves again. A loaded machine may draw no
        # frame while a key is down, so a channel that polls may need another press.
        for attempt in range(5):
            xdotool("keydown", "a", "mousedown", 1, "sleep", 0.5, "keyup", "a", "mouseup", 1)
            now = presses(game.settled())
            quiet = [name for name in delivering if now[name] <= still[name]]
            if not quiet:
                break
        if quiet:
            raise Failure("after the hide these channels stay still: %s (%s -> %s)" % (quiet, still, now))
        print("PASS pressed while shown, released after the hide: the key-up goes to the host; "
              "after the hide %s move again" % ", ".join(delivering))
        host.send("quit")
        host.wait()
    except Failure as e:
        report_failure(e, started)
        return 1
    finally:
        for process in started:
            process.kill()
    crashed = [p.name for p in started if p.crash()]
    if crashed:
        print("FAIL crashed: %s" % crashed)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
