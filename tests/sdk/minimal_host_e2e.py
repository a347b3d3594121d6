#!/usr/bin/env python3
"""The SDK as an integrator gets it: the build installed into WORK/sdk (the DLL stripped, its debug
information in a file beside it), examples/minimal_host configured and built against that tree
alone (find_package(OverlayClient)), then run against a running demo game; it must bring the
installed overlay DLL in, show the overlay, hide it and end with code 0.

Runs inside scripts/with-wine.sh (WINEPREFIX and DISPLAY set), after the whole build:
    minimal_host_e2e.py --cmake cmake --build BUILD --toolchain FILE --example DIR --dll overlay_client_x64.dll
                        --game d3d11_demo.exe --work DIR
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from overlay_e2e import TIMEOUT, Failure, Game, Process, report_failure  # noqa: E402


def build_example(args):
    """The installed tree and the example built against it; the example's path."""
    sdk, example = os.path.join(args.work, "sdk"), os.path.join(args.work, "example")
    for step in ([args.cmake, "--install", args.build, "--prefix", sdk],
                 [args.cmake, "-S", args.example, "-B", example, "-DCMAKE_BUILD_TYPE=Release",
                  "-DCMAKE_TOOLCHAIN_FILE=" + args.toolchain,
                  "-DOverlayClient_DIR=" + os.path.join(sdk, "lib", "cmake", "OverlayClient")],
                 [args.cmake, "--build", example, "-j", "2"]):
        done = subprocess.run(step, capture_output=True, text=True, timeout=240)
        if done.returncode != 0:
            raise Failure("%s failed:\n%s%s" % (" ".join(step), done.stdout[-3000:], done.stderr[-3000:]))
    return sdk, os.path.join(example, "minimal_host.exe")


def check_stripped(sdk, built):
    """The installed DLL: stripped, and linked by name and CRC to its debug file beside it."""
    installed = os.path.join(sdk, "bin", "overlay_client_x64.dll")
    with open(installed, "rb") as f:
        data = f.read()
    with open(installed + ".debug", "rb") as f:
        crc = zlib.crc32(f.read())
    name = b"overlay_client_x64.dll.debug\0"
    at = data.find(name) + (len(name) + 3) // 4 * 4
    if data.find(name) < 0 or struct.unpack_from("<I", data, at)[0] != crc:
        raise Failure("the installed DLL has no debug link to its .debug file (or the CRC differs)")
    if len(data) * 4 > os.path.getsize(built):
        raise Failure("the installed DLL (%d bytes) is not stripped (built: %d)" % (len(data), os.path.getsize(built)))


def main():
    parser = argparse.ArgumentParser()
    for name in ("--cmake", "--build", "--toolchain", "--example", "--dll", "--game", "--work"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    started = []
    try:
        sdk, example = build_example(args)
        check_stripped(sdk, args.dll)
        dll = "Z:" + os.path.join(sdk, "bin", "overlay_client_x64.dll").replace("/", "\\")
        game = Game("game", ["wine", args.game, "--pos", "40,40"], args.work)
        started.append(game)
        host = Process("minimal_host", ["wine", example, str(game.pid()), dll], args.work)
        started.append(host)
        for step in ("injected", "registered", "shown", "hidden"):
            line, _ = host.next_line(time.monotonic() + TIMEOUT)
            if line != step:
                raise Failure("the example host printed %r where %r was due" % (line, step))
        code = host.wait()
        if code != 0:
            raise Failure("the example host ended with %d" % code)
    except (Failure, subprocess.SubprocessError) as e:
        report_failure(e, started)
        if started[1:]:
            with open(started[1].stderr.name, errors="replace") as err:
                print("--- minimal_host standard error ---\n" + err.read()[-2000:])
        return 1
    finally:
        for process in started:
            process.kill()
    print("PASS the installed DLL is stripped and linked to its debug file; the example host, built against "
          "the installed SDK, injected, registered, shown, hidden")
    return 0


if __name__ == "__main__":
    sys.exit(main())
