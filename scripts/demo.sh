#!/usr/bin/env bash
# Installs what is missing, builds everything, then runs the Direct3D 11 demo game under Wine with
# the overlay drawn into its frames through the DXGI hook, once per renderer, and saves X
# screenshots into build/screenshots/ (overlay_direct2d.png, overlay_direct3d11.png, game_only.png).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${OVERLAY_BUILD_DIR:-$root/build}
thrift_root=$("$root/scripts/bootstrap.sh" | tail -n 1)
cmake -S "$root" -B "$build" -DTHRIFT_ROOT="$thrift_root" >/dev/null
cmake --build "$build" -j "$(nproc)"
"$root/scripts/screenshot_graphics.sh"
echo "Screenshots are in $build/screenshots"
