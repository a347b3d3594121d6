#!/usr/bin/env python3
"""The product end to end: a demo game (Direct3D 11, 9 or 12, OpenGL or Vulkan) and overlay_host as separate Wine
processes, real X input (xdotool) and X screenshots. Every wait is for an event (a JSON line of the
host, a line of the game, a picture) with a time-out; every process started here is stopped by its id.

Runs inside scripts/with-wine.sh (WINEPREFIX and DISPLAY set):
    overlay_e2e.py --game d3d11_demo.exe --api dxgi --host overlay_host.exe --work DIR
    overlay_e2e.py --game d3d9_demo.exe --api d3d9 --host overlay_host.exe --work DIR
    overlay_e2e.py --game d3d12_demo.exe --api dxgi --host overlay_host.exe --work DIR
    overlay_e2e.py --game d3d12_demo.exe --game-arg=--render-thread --api dxgi --host overlay_host.exe --work DIR
    overlay_e2e.py --game gl_demo.exe --api opengl --host overlay_host.exe --work DIR
    overlay_e2e.py --game gl_demo.exe --api auto --host overlay_host.exe --work DIR
    overlay_e2e.py --game vk_demo.exe --api vulkan --host overlay_host.exe --work DIR
    overlay_e2e.py --game vk_demo.exe --api auto --host overlay_host.exe --work DIR
"""
import argparse
import json
import os
import queue
import re
import subprocess
import sys
import threading
import time

TIMEOUT = 60  # seconds for any one event; generous for a loaded machine
WORK = "."


class Failure(Exception):
    pass


class Process:
    """A Wine process whose standard output is read line by line on a thread."""

    def __init__(self, name, argv, work, stdin=False):
        self.name = name
        self.stderr = open(os.path.join(work, name + ".stderr"), "w")
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=self.stderr, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.history = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\r\n"))
        self.lines.put(None)

    def next_line(self, deadline):
        try:
            line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            return None, False
        if line is None:
            return None, True
        self.history.append(line)
        return line, False

    def drain(self):
        while True:
            try:
                line = self.lines.get_nowait()
            except queue.Empty:
                return
            if line is None:
                self.lines.put(None)
                return
            self.history.append(line)

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def wait(self, timeout=TIMEOUT):
        return self.proc.wait(timeout=timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()  # the Wine process itself: wine execs the program in place
            self.proc.wait()
        self.stderr.close()

    def crash(self):
        """Wine's report of an unhandled exception in this process, if it wrote one; its exit code
        cannot tell (a process that Wine's debugger ends may exit with 0)."""
        with open(self.stderr.name, errors="replace") as errors:
            for line in errors:
                if re.search(r"Unhandled (exception|page fault|illegal instruction|stack overflow)", line):
                    return line.strip()
        return None


class Host(Process):
    def event(self, name, what=None, check=lambda e: True, timeout=TIMEOUT):
        """Waits for the next event `name` that passes `check`; every line must be JSON."""
        return self.events((name, what, check), timeout=timeout)[0]

    def export(self, name, result):
        """Waits for the report that export `name` returned `result`."""
        return self.event("export", "%s result %d" % (name, result), lambda e: e["name"] == name and e["result"] == result)

    def events(self, *wanted, timeout=TIMEOUT):
        """Waits for several events (name, what, check) that may come in any order: an export's result
        and the requests the client makes during the call are written by different threads."""
        deadline = time.monotonic() + timeout
        found = [None] * len(wanted)
        while None in found:
            line, ended = self.next_line(deadline)
            if line is None:
                missing = ", ".join(w[1] or w[0] for w, f in zip(wanted, found) if f is None)
                raise Failure("%s: no %s event (%s)" % (self.name, missing, "host ended" if ended else "time-out"))
            try:
                event = json.loads(line)
            except ValueError:
                raise Failure("%s wrote a line that is not JSON: %r" % (self.name, line))
            for i, (name, _, check) in enumerate(wanted):
                if found[i] is None and event.get("event") == name and check(event):
                    found[i] = event
                    break
        return found


class Game(Process):
    def pid(self):
        """The game's Windows process id, its first line."""
        line, _ = self.next_line(time.monotonic() + TIMEOUT)
        if not line or not line.startswith("pid="):
            raise Failure("the game did not report its process id: %r" % line)
        return int(line[4:])

    def report(self, timeout=TIMEOUT):
        """(frames, keys, mouse, cursor) from the next input line the game prints after this call."""
        self.drain()
        deadline = time.monotonic() + timeout
        while True:
            line, _ = self.next_line(deadline)
            if line is None:
                raise Failure("the game printed no input counts")
            match = re.match(r"input frames=(\d+) keys=(\d+) mouse=(\d+) cursor=(\S+)", line)
            if match:
                return tuple(int(v) for v in match.groups()[:3]) + (match.group(4),)

    def counts(self, timeout=TIMEOUT):
        return self.report(timeout)[:3]

    def wait_cursor(self, expected, timeout=TIMEOUT):
        """Waits until the game reports the system cursor `expected` on the screen."""
        deadline = time.monotonic() + timeout
        seen = None
        while time.monotonic() < deadline:
            seen = self.report(timeout)[3]
            if seen == expected:
                return
        raise Failure("the game's cursor is %s, expected %s" % (seen, expected))

    def window(self):
        """The game's X window: Wine marks its windows with the process id (wine runs the program in
        place); the game has one visible window."""
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.proc.pid)], check=True,
                             capture_output=True, text=True, timeout=TIMEOUT).stdout.split()
        if len(out) != 1:
            raise Failure("expected one visible game window, found %s" % out)
        return out[0]


def report_failure(error, started):
    print("FAIL %s" % error)
    for process in started:
        process.drain()
        print("--- %s output (last lines) ---\n%s" % (process.name, "\n".join(process.history[-15:])))


def xdotool(*args):
    subprocess.run(["xdotool"] + [str(a) for a in args], check=True, timeout=TIMEOUT)


def screenshot():
    """The screen as (width, height, rgb bytes)."""
    data = subprocess.run(["import", "-silent", "-window", "root", "-depth", "8", "ppm:-"], check=True, capture_output=True,
                          timeout=TIMEOUT).stdout
    parts = data.split(maxsplit=4)
    width, height = int(parts[1]), int(parts[2])
    return width, height, parts[4][-width * height * 3:]


def is_border(pixel):
    r, g, b = pixel
    return r > 240 and g < 16 and b > 240


def analyse(shot, surface, panel):
    """Bounding box of the host panel's border colour inside the surface, and the brightest channel
    of the surface outside the panel (sampled)."""
    width, _, rgb = shot
    left, top, right, bottom = surface
    box = None
    brightest = 0
    for y in range(top, bottom, 2):
        for x in range(left, right, 2):
            i = (y * width + x) * 3
            pixel = rgb[i], rgb[i + 1], rgb[i + 2]
            if is_border(pixel):
                box = (min(box[0], x), min(box[1], y), max(box[2], x), max(box[3], y)) if box else (x, y, x, y)
            elif not (panel[0] - 4 <= x < panel[2] + 4 and panel[1] - 4 <= y < panel[3] + 4):
                brightest = max(brightest, max(pixel))
    return box, brightest


def wait_for_picture(surface, panel, shown, timeout=TIMEOUT):
    """Waits until a screenshot shows the overlay (border where the panel is, the rest darkened) or
    the plain game (no border colour, full brightness)."""
    deadline = time.monotonic() + timeout
    while True:
        shot = screenshot()
        box, brightest = analyse(shot, surface, panel)
        if shown:
            ok = box is not None and all(abs(a - b) <= 2 for a, b in zip(box, (panel[0], panel[1],
                                                                                panel[2] - 1, panel[3] - 1)))
            ok = ok and brightest <= 0.45 * 255
        else:
            ok = box is None and brightest > 0.6 * 255
        if ok:
            return brightest
        if time.monotonic() > deadline:
            with open(os.path.join(WORK, "failed_screenshot.ppm"), "wb") as f:
                f.write(b"P6 %d %d 255\n" % shot[:2] + shot[2])
            raise Failure("screen shows %s: border box %s, brightest outside %d" % (
                "not the overlay" if shown else "still the overlay", box, brightest))


def layout(bounds):
    """The game's surface, the host's panel (its middle half) and the panel's centre on the screen."""
    surface = (bounds["left"], bounds["top"], bounds["right"], bounds["bottom"])
    width, height = surface[2] - surface[0], surface[3] - surface[1]
    panel = (surface[0] + width // 4, surface[1] + height // 4, surface[0] + width * 3 // 4,
             surface[1] + height * 3 // 4)
    return surface, panel, ((panel[0] + panel[2]) // 2, (panel[1] + panel[3]) // 2)


# The system cursor for each type the host may ask for (IDC_ resource numbers), as the game reads it
# back with GetCursorInfo.
CURSORS = {0: "32512", 3: "32649", 5: "32513", 7: "hidden"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--game", required=True)
    parser.add_argument("--api", choices=["dxgi", "d3d9", "opengl", "vulkan", "auto"], default="dxgi")
    parser.add_argument("--game-arg", action="append", default=[], help="one more argument for the game")
    parser.add_argument("--host", required=True)
    parser.add_argument("--host-arg", action="append", default=[],
                        help="one more argument for every host started, e.g. --dll32=PATH")
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    global WORK
    WORK = args.work
    os.makedirs(args.work, exist_ok=True)
    logs = os.path.join(args.work, "logs")
    os.makedirs(logs, exist_ok=True)
    pipe = "overlay_e2e_%d" % os.getpid()
    started = []
    passed = []

    def start_host(name, pipe_name, *extra):
        host = Host(name, ["wine", args.host, "--pid", str(game_pid), "--pipe", pipe_name, "--log-dir", logs,
                           "--api", args.api, "--hotkeys"] + args.host_arg + list(extra), args.work, stdin=True)
        started.append(host)
        return host

    def case(name):
        passed.append(name)
        print("PASS %s" % name)

    def switch(shown, keys=None):
        """Shows or hides the overlay by the host's command or, with `keys`, a hotkey; waits for the picture."""
        if keys:
            xdotool("key", keys)
            host.event("requestShow" if shown else "requestHide")
        else:
            host.send("show" if shown else "hide")
        host.event("shown" if shown else "hidden")
        return wait_for_picture(surface, panel, shown=shown)

    try:
        game = Game("game", ["wine", args.game, "--report-input", "10", "--pos", "40,40"] + args.game_arg, args.work)
        started.append(game)
        game_pid = game.pid()

        host = start_host("host1", pipe)
        host.export("initializeOverlayEx", 0)
        host.event("ready")
        if args.api == "auto":
            with open(host.stderr.name) as stderr:
                chosen = stderr.read()
            expected = "vulkan" if "vk_demo" in args.game else "opengl"
            if "chose " + expected not in chosen:
                raise Failure("--api auto did not say it chose %s: %r" % (expected, chosen))
            case("--api auto: the host chose the API of the game's modules and said so")
        info = host.event("registered")
        bounds = info["scurfaceBounds"]
        host.export("prepareOverlay", 0)
        hexname = re.compile(r"^[0-9a-f]{32}$")
        if not (info["id"] != 0 and info["version"] == "26.00.02.1046" and hexname.match(info["pipeName"])
                and hexname.match(info["shmemName"]) and bounds["right"] - bounds["left"] == 800
                and bounds["bottom"] - bounds["top"] == 600):
            raise Failure("registered with unexpected ClientInfo: %s" % info)
        case("registerClient arrives with the five ClientInfo fields")

        surface, panel, centre = layout(bounds)
        # Focus the game the way a player does: a click into its window.
        xdotool("mousemove", centre[0], centre[1], "click", 1)
        plain = wait_for_picture(surface, panel, shown=False)

        dark = switch(True)
        case("show: shown arrives, the game darkened (brightest %d -> %d) and the host panel at its place"
             % (plain, dark))

        before = game.counts()
        xdotool("key", "a")
        down = host.event("key", "key down A", lambda e: e["type"] == 0 and e["windowsKeyCode"] == 0x41)
        char = host.event("key", "character a", lambda e: e["type"] == 3 and e["windowsKeyCode"] == ord("a"))
        host.event("key", "key up A", lambda e: e["type"] == 2 and e["windowsKeyCode"] == 0x41)
        if down["isSystemKey"] or char["character"] != 0:
            raise Failure("key fields: %s %s" % (down, char))
        xdotool("mousemove", centre[0] + 10, centre[1] + 10)
        host.event("mouseMove", "mouse move", lambda e: e["mouseLeave"] is False)
        xdotool("click", "--repeat", 4, "--delay", 150, 1)
        counts = []
        while len(counts) < 4:
            counts.append(host.event("mouseClick", "left button down", lambda e: e["type"] == 0 and
                                     not e["mouseUp"])["clickCount"])
        if counts != [1, 2, 3, 1]:
            raise Failure("click counts %s, expected 1-2-3-1" % counts)
        xdotool("click", 5)
        host.event("mouseWheel", "wheel down", lambda e: e["deltaY"] < 0)
        after = game.counts()
        if after[1:] != before[1:] or after[0] <= before[0]:
            raise Failure("the game saw input while the overlay was shown: %s -> %s" % (before, after))
        case("input while shown: key, character, move, clicks 1-2-3-1 and wheel reach the host; "
             "the game's counts stay at keys=%d mouse=%d" % after[1:])

        for cursor_type in (3, 5, 7, 0):
            host.send("cursor %d" % cursor_type)
            game.wait_cursor(CURSORS[cursor_type])
        case("cursor N while shown: the game's screen cursor becomes %s" % ", ".join(CURSORS.values()))

        switch(False, "Escape")
        case("Escape while shown: requestHide, then hidden and the plain game")

        xdotool("mousemove", centre[0] - 20, centre[1], "key", "b")
        moved = game.counts()
        deadline = time.monotonic() + TIMEOUT
        while moved[1] <= after[1] or moved[2] <= after[2]:
            if time.monotonic() > deadline:
                raise Failure("the game's input counts did not move after hide: %s -> %s" % (after, moved))
            moved = game.counts()
        case("after hide the game's input counts move again (%s -> %s)" % (after[1:], moved[1:]))

        switch(True)
        switch(False)
        case("hide: hidden arrives and the screen shows the plain game")

        for keys in ("shift+Tab", "ctrl+space"):
            switch(True, keys)
            switch(False, keys)
        case("hotkeys: Shift+Tab and Ctrl+Space each show and hide the overlay")

        # Move and resize the game window while shown: bounds follow, and the overlay keeps drawing
        # (the Direct3D 9 game resets its device, the Direct3D 11 game resizes its buffers).
        switch(True)
        window = game.window()
        xdotool("windowmove", window, 120, 90)
        bounds = host.event("bounds", "bounds after the move", lambda e: e["left"] != surface[0])
        if (bounds["right"] - bounds["left"], bounds["bottom"] - bounds["top"]) != (800, 600):
            raise Failure("moving changed the size: %s" % bounds)
        surface, panel, centre = layout(bounds)
        wait_for_picture(surface, panel, shown=True)
        xdotool("windowsize", window, 640, 480)
        bounds = host.event("bounds", "bounds after the resize", lambda e: e["right"] - e["left"] != 800)
        surface, panel, centre = layout(bounds)
        wait_for_picture(surface, panel, shown=True)
        switch(False)
        case("moving and resizing the game window while shown send bounds (%s); the overlay follows" % (surface,))

        host.send("export showTestOverlay 0.5 0.25 0xFF00FF00")
        test = host.events(("requestShowTest", None, lambda e: True),
                           ("export", "showTestOverlay result 0",
                            lambda e: e["name"] == "showTestOverlay" and e["result"] == 0),
                           ("shown", None, lambda e: True))[0]
        host.send("export hideOverlay")
        host.events(("requestHide", None, lambda e: True), ("hidden", None, lambda e: True),
                    ("export", "hideOverlay result 0", lambda e: e["name"] == "hideOverlay" and e["result"] == 0))
        if (test["relativeWidth"], test["relativeHeight"], test["color"] & 0xFFFFFFFF) != (0.5, 0.25, 0xFF00FF00):
            raise Failure("requestShowTest carried %s" % test)
        case("the showTestOverlay and hideOverlay exports reach the host as requests, which it honours")

        switch(True)
        host.kill()
        wait_for_picture(surface, panel, shown=False)
        frames = game.counts()[0]
        if game.counts()[0] <= frames:
            raise Failure("the game stopped presenting after the host was killed")
        case("host killed while shown: the overlay hides and the game keeps presenting")

        # The client keeps the host pipe it was first given: a host on another pipe is not reached.
        stray = start_host("host2", pipe + "_other")
        stray.event("ready")
        stray.export("prepareOverlay", 4)
        stray.send("quit")
        stray.wait()
        refusing = start_host("host3", pipe, "--refuse-registration")
        refusing.event("registered", "a refused registration", lambda e: e.get("refused") is True)
        refusing.export("prepareOverlay", 11)
        refusing.send("quit")
        refusing.wait()
        host = start_host("host4", pipe)
        host.event("ready")
        host.event("registered")
        host.export("prepareOverlay", 0)
        case("prepare with no host returns 4, with a host answering result false 11; a new host on the client's "
             "pipe registers it again with 0")

        xdotool("mousemove", centre[0], centre[1], "key", "Escape")
        host.event("stopped", "stopped with code 0", lambda e: e["code"] == 0)
        code = game.wait()
        game.drain()
        # The Direct3D 12 game records its own command lists: it has no device state to compare.
        summary = next((l for l in reversed(game.history) if l.startswith("frames=")), "")
        resized = re.search(r"(?:resizes|resets)=(\d+)", summary)
        # Wine sometimes ends a process with SIGKILL after its last line, while it tears the process
        # down; that is no crash of the game, which Wine would report on standard error.
        game.stderr.flush()
        if code not in (0, -9) or game.crash() or not resized or int(resized.group(1)) == 0 or \
                ("state-mismatches=" in summary and "state-mismatches=0" not in summary):
            raise Failure("the game ended with %d: %r" % (code, summary))
        host.wait()
        case("closing the game: stopped with code 0; the game resized its buffers and its state was never "
             "disturbed (%s)" % summary)
    except (Failure, subprocess.SubprocessError) as e:
        report_failure(e, started)
        return 1
    finally:
        for process in started:
            process.kill()
    crashed = False
    for process in started:
        line = process.crash()
        if line:
            print("FAIL %s crashed: %s (whole report in %s.stderr)" % (process.name, line, process.name))
            crashed = True
    if crashed:
        return 1
    print("%d cases passed" % len(passed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
