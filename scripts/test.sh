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

cmake -S "$root" -B "$build" -DTHRIFT_ROOT="$thrift_root" >/dev/null
cmake --build "$build" -j "$jobs"

# Tests of platform-neutral code that also run natively (no Wine).
cmake -S "$root/tests/native" -B "$build/native" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/native" -j "$jobs"
ctest --test-dir "$build/native" --output-on-failure -j "$jobs"

"$root/scripts/with-wine.sh" "$build/wine-prefix" \
  ctest --test-dir "$build" --output-on-failure -j "$jobs" "$@"
