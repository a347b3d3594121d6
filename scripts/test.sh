#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test (Windows tests under Wine).
# Extra arguments go to ctest, e.g.  scripts/test.sh -R log_tests
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${OVERLAY_BUILD_DIR:-$root/build}
jobs=$(nproc)

thrift_root=$("$root/scripts/bootstrap.sh" | tail -n 1)
"$root/scripts/check-format.sh"

# The 32-bit DLL, its loader and hook helper, and the demo games that the 32-bit end-to-end tests
# run (overlay_e2e_*_x86); the rest of the 32-bit tree is built and tested on demand by
# scripts/test-x86.sh.
build_x86=${OVERLAY_BUILD_DIR_X86:-$root/build-x86}
OVERLAY_BUILD_DIR_X86=$build_x86 "$root/scripts/build-x86.sh" --target overlay_hook_x86 d3d9_demo d3d11_demo gl_demo \
  >/dev/null

cmake -S "$root" -B "$build" -DTHRIFT_ROOT="$thrift_root" -DOVERLAY_X86_BUILD_DIR="$build_x86" >/dev/null
cmake --build "$build" -j "$jobs"

# Tests of platform-neutral code that also run natively (no Wine).
cmake -S "$root/tests/native" -B "$build/native" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/native" -j "$jobs"
ctest --test-dir "$build/native" --output-on-failure -j "$jobs"

# A failed entry runs once more, and fails the run only if it fails again. Known intermittent fault,
# being worked on: now and then, right after the client starts, a thread the host starts in the game
# for an export call is never made ("the game did not start a thread for prepareOverlay"). A first
# failure still prints its whole output above the second run's.
"$root/scripts/with-wine.sh" "$build/wine-prefix" \
  ctest --test-dir "$build" --output-on-failure -j "$jobs" --repeat until-pass:2 "$@"
