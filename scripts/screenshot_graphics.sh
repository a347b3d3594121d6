#!/usr/bin/env bash
# X screenshots of tools/overlay_showcase (the demo game with the overlay drawn by each renderer),
# taken under the test harness's Wine and X server:
#   build/screenshots/overlay_direct2d.png     the overlay drawn by the Direct2D renderer
#   build/screenshots/overlay_direct3d11.png   the overlay drawn by the Direct3D 11 renderer
#   build/screenshots/game_only.png            the demo game without the overlay
# Needs a configured build folder (scripts/demo.sh or scripts/test.sh once).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${OVERLAY_BUILD_DIR:-$root/build}
cmake --build "$build" -j "$(nproc)" --target overlay_showcase >/dev/null
out="$build/screenshots"
mkdir -p "$out"
"$root/scripts/with-wine.sh" "$build/wine-prefix" bash -c '
  set -u
  out=$1
  cd "$2"
  rc=0
  for renderer in direct2d direct3d11 none; do
    rm -f showcase.ready showcase.quit
    wine overlay_showcase.exe --renderer "$renderer" --frames 7200 --ready showcase.ready --quit showcase.quit &
    pid=$!
    for _ in $(seq 1 600); do
      [ -f showcase.ready ] && break
      sleep 0.1
    done
    name=overlay_$renderer
    [ "$renderer" = none ] && name=game_only
    if [ -f showcase.ready ]; then
      import -window root -crop 800x600+0+0 +repage "$out/$name.png"
      echo "wrote $out/$name.png"
    else
      echo "overlay_showcase ($renderer) did not get ready" >&2
      rc=1
    fi
    touch showcase.quit
    wait "$pid" || rc=1
  done
  rm -f showcase.ready showcase.quit
  exit $rc' screenshots "$out" "$build/tools/overlay_showcase"
