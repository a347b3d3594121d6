#!/usr/bin/env bash
# The demo: installs what is missing, builds the DLL, the host and the demo games, then on a headless X server (or, with
# --visible, on your own display) under Wine runs
# a demo game (Direct3D 11 by default, or the Direct3D 9, Direct3D 12, OpenGL or Vulkan one), starts the reference host on it (which injects overlay_client_x64.dll), shows the
# overlay, sends real X input, takes screenshots, hides the overlay and closes the game:
#   build/screenshots/demo_before.png   the game before the overlay
#   build/screenshots/demo_shown.png    the overlay shown: the game darkened, the host's panel on top
#   build/screenshots/demo_hidden.png   the game after hide
# (demo_d3d9_*.png for the Direct3D 9 game, demo_d3d12_*.png for the Direct3D 12 game, demo_gl_*.png for the OpenGL game, demo_vk_*.png for the Vulkan game) and prints a summary: the events the host received, the
# game's input counts, the log folder.
#   scripts/demo.sh [--visible] [--x86] [d3d11|d3d9|d3d12|gl|vk]
# --x86 runs the 32-bit build of the game (built into build-x86, see scripts/build-x86.sh), into
# which the same 64-bit host brings overlay_client_x86.dll; the screenshots then end in _x86.
# --visible (or OVERLAY_DEMO_VISIBLE=1) runs it on your own X display ($DISPLAY) instead of a
# headless one, pausing OVERLAY_DEMO_PAUSE seconds (default 2) at each step so that you can watch.
# xdotool then moves your pointer and types into the game: leave mouse and keyboard alone meanwhile.
set -euo pipefail
usage="usage: scripts/demo.sh [--visible] [--x86] [d3d11|d3d9|d3d12|gl|vk]"
visible=${OVERLAY_DEMO_VISIBLE:-0}
which=d3d11
x86=0
for arg in "$@"; do
  case "$arg" in
    --visible) visible=1 ;;
    --x86) x86=1 ;;
    -h|--help) echo "$usage"; exit 0 ;;
    *) which=$arg ;;
  esac
done
case "$which" in
  d3d11) game=d3d11_demo api=dxgi prefix=demo ;;
  d3d9) game=d3d9_demo api=d3d9 prefix=demo_d3d9 ;;
  # Direct3D 12 swap chains present through DXGI too: the same host call.
  d3d12) game=d3d12_demo api=dxgi prefix=demo_d3d12 ;;
  gl) game=gl_demo api=opengl prefix=demo_gl ;;
  vk) game=vk_demo api=vulkan prefix=demo_vk ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
pause=0
if [ "$visible" != 0 ]; then
  if [ -z "${DISPLAY:-}" ]; then
    echo "demo: --visible needs an X display, and DISPLAY is not set" >&2
    exit 2
  fi
  # with-wine.sh then uses this display instead of starting Xvfb.
  export WITH_WINE_DISPLAY=$DISPLAY
  pause=${OVERLAY_DEMO_PAUSE:-2}
  echo "demo: running on display $DISPLAY; leave mouse and keyboard alone until the summary"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${OVERLAY_BUILD_DIR:-$root/build}
thrift_root=$("$root/scripts/bootstrap.sh" | tail -n 1)
cmake -S "$root" -B "$build" -DTHRIFT_ROOT="$thrift_root" >/dev/null
cmake --build "$build" -j "$(nproc)" --target overlay_client overlay_host "$game"
game_exe="$build/tools/$game/$game.exe"
dll32=
if [ "$x86" != 0 ]; then
  build_x86=${OVERLAY_BUILD_DIR_X86:-$root/build-x86}
  OVERLAY_BUILD_DIR_X86=$build_x86 "$root/scripts/build-x86.sh" --target overlay_hook_x86 "$game" >/dev/null
  # With its loader and overlay_hook_x86.exe beside it.
  dll32=$build_x86/tools/overlay_host/overlay_client_x86.dll
  game_exe="$build_x86/tools/$game/$game.exe"
  prefix=${prefix}_x86
fi

out="$build/screenshots"
run="$build/demo"
mkdir -p "$out" "$run/logs"
rm -f "$run"/*.txt "$run"/logs/*.log

"$root/scripts/with-wine.sh" "$build/wine-prefix" bash -s "$build" "$out" "$run" "$game_exe" "$api" "$prefix" "$pause" \
  "$dll32" <<'DEMO'
set -uo pipefail
build=$1 out=$2 run=$3 game_exe=$4 api=$5 prefix=$6 pause=$7 dll32=$8
game=$(basename "$game_exe" .exe)
game_out=$run/game.txt events=$run/events.txt host_err=$run/host_stderr.txt
game_pid= host_pid=
finish() {
  exec 3>&- 2>/dev/null
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null
  [ -n "$game_pid" ] && kill "$game_pid" 2>/dev/null
  wait 2>/dev/null
  rm -f "$run/host_input"
}
trap finish EXIT

# Waits up to 60 s for a line matching a pattern in a file.
wait_for() {
  local file=$1 pattern=$2
  for _ in $(seq 1 600); do
    grep -q -- "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "demo: gave up waiting for '$pattern' in $file" >&2
  exit 1
}
count() { grep -c -- "$1" "$events" || true; }

mkfifo "$run/host_input"
echo "demo: starting the demo game $game"
wine "$game_exe" --report-input 30 >"$game_out" 2>"$run/game_stderr.txt" &
game_pid=$!
wait_for "$game_out" '^pid='
windows_pid=$(sed -n 's/^pid=\([0-9]*\).*/\1/p' "$game_out" | head -n 1)

echo "demo: starting overlay_host on process $windows_pid"
host_args=(--pid "$windows_pid" --api "$api" --log-dir "$(winepath -w "$run/logs")")
[ -n "$dll32" ] && host_args+=(--dll32 "$(winepath -w "$dll32")")
wine "$build/tools/overlay_host/overlay_host.exe" "${host_args[@]}" <"$run/host_input" >"$events" 2>"$host_err" &
host_pid=$!
exec 3>"$run/host_input"
wait_for "$events" '"event":"registered"'

# The game's surface on the screen, from the registration.
bounds=$(grep -o '"scurfaceBounds":{[^}]*}' "$events" | tail -n 1)
num() { echo "$bounds" | sed -n "s/.*\"$1\":\(-\?[0-9]*\).*/\1/p"; }
left=$(num left) top=$(num top) right=$(num right) bottom=$(num bottom)
geometry="$((right - left))x$((bottom - top))+$left+$top"
shot() { import -silent -window root -crop "$geometry" +repage "$out/$1"; echo "demo: wrote $out/$1"; }
cx=$(((left + right) / 2)) cy=$(((top + bottom) / 2))

xdotool mousemove "$cx" "$cy" click 1
shot "${prefix}_before.png"
sleep "$pause"

echo show >&3
wait_for "$events" '"event":"shown"'
echo "demo: overlay shown; sending X input"
xdotool mousemove $((cx + 30)) $((cy + 20)) sleep 0.2 click 1 sleep 0.2 click 1 sleep 0.2 click 5
xdotool type --delay 120 "hello"
xdotool key Tab
wait_for "$events" '"windowsKeyCode":9,'
shot "${prefix}_shown.png"
sleep "$pause"

echo hide >&3
wait_for "$events" '"event":"hidden"'
xdotool mousemove "$cx" "$((cy + 40))"
shot "${prefix}_hidden.png"
sleep "$pause"

echo "demo: closing the game"
xdotool key Escape
wait "$game_pid"
game_pid=
wait "$host_pid"
host_pid=

echo
echo "=== Summary ==="
echo "Events the host received (JSON lines in $events):"
for name in registered shown hidden key mouseMove mouseClick mouseWheel requestShow requestHide bounds stopped error; do
  printf '  %-12s %s\n' "$name" "$(count "\"event\":\"$name\"")"
done
echo "The game's own input counts (the overlay took the input while shown):"
grep '^input ' "$game_out" | tail -n 1 | sed 's/^/  /'
echo "Client log: $(ls "$run"/logs/*.log 2>/dev/null | head -n 1)"
echo "Screenshots: $out/${prefix}_before.png, ${prefix}_shown.png, ${prefix}_hidden.png"
DEMO
