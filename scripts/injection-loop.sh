#!/usr/bin/env bash
# Many injections into the single-thread demo games, each brought up and closed as in the tests:
#   scripts/injection-loop.sh [runs per mode and API, default 50]
# Uses its own Wine prefix and X server, so it can run beside other work. Needs a built tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${OVERLAY_BUILD_DIR:-$root/build}
runs=${1:-50}
"$root/scripts/with-wine.sh" "$build/wine-prefix-loop" bash -c '
  rc=0
  for game in d3d11:dxgi d3d9:d3d9; do
    name=${game%%:*}; api=${game##*:}
    echo "=== $name"
    python3 "$1/tests/e2e/injection_e2e.py" --game "$2/tools/${name}_demo/${name}_demo.exe" --api "$api" \
      --host "$2/tools/overlay_host/overlay_host.exe" --work "$2/injection-loop/$name" --runs "$3" || rc=1
  done
  exit $rc' loop "$root" "$build" "$runs"
