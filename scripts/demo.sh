#!/usr/bin/env bash
# Installs what is missing and builds the overlay client, its tools and tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${OVERLAY_BUILD_DIR:-$root/build}
thrift_root=$("$root/scripts/bootstrap.sh" | tail -n 1)
cmake -S "$root" -B "$build" -DTHRIFT_ROOT="$thrift_root" >/dev/null
cmake --build "$build" -j "$(nproc)"
echo "Built into $build"
