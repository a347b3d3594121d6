#!/usr/bin/env bash
# Builds and runs the benchmarks (bench/*/bench_*.exe) under Wine, one after another.
# Each prints its figures and the ratios against its baseline measured in the same run.
#   scripts/bench.sh [name-filter]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${OVERLAY_BUILD_DIR:-$root/build}
filter=${1:-}
thrift_root=$("$root/scripts/bootstrap.sh" | tail -n 1)
cmake -S "$root" -B "$build" -DTHRIFT_ROOT="$thrift_root" >/dev/null
cmake --build "$build" -j "$(nproc)"

mapfile -t benches < <(find "$build/bench" -name 'bench_*.exe' 2>/dev/null | sort | grep -- "$filter" || true)
if [ ${#benches[@]} -eq 0 ]; then
  echo "no benchmarks found"
  exit 0
fi
"$root/scripts/with-wine.sh" "$build/wine-prefix" bash -c '
  rc=0
  for b in "$@"; do
    echo "=== $(basename "$b" .exe)"
    (cd "$(dirname "$b")" && wine "$b") || rc=1
  done
  exit $rc' bench "${benches[@]}"
