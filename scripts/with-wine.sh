#!/usr/bin/env bash
# Runs a command inside a private Wine environment: a headless X server (Xvfb) on a free display,
# a Wine prefix in the given folder (created on first use) and a persistent wineserver, so that
# many short Windows processes start quickly. Everything it started is stopped on exit.
#
#   scripts/with-wine.sh <wine-prefix-folder> <command> [args...]
#
# With WITH_WINE_DISPLAY set (an X display such as :0) the programs run there instead, and no Xvfb
# is started: how scripts/demo.sh --visible shows the demo on the user's own screen.
# WITH_WINE_SCREEN sets the Xvfb screen size (default 1280x1024), e.g. 2048x1536 for benchmarks
# drawn at 1920x1080 with the window frame around them.
set -uo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 <wine-prefix-folder> <command> [args...]" >&2
  exit 2
fi
prefix_dir=$1; shift

export WINEPREFIX
WINEPREFIX=$(mkdir -p "$prefix_dir" && cd "$prefix_dir" && pwd)
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
# No Mono or Gecko install prompts when the prefix is created.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
# Mesa software rendering for Direct3D under Xvfb.
export LIBGL_ALWAYS_SOFTWARE=1
# `wine` runs each program in place, with the loader of its bitness (see wine-bin/wine).
PATH="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine-bin:$PATH"
export PATH

xvfb_pid=
cleanup() {
  local rc=$?
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" >/dev/null 2>&1
    wait "$xvfb_pid" 2>/dev/null
  fi
  [ -n "${fdfile:-}" ] && rm -f "$fdfile"
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -n "${WITH_WINE_DISPLAY:-}" ]; then
  export DISPLAY=$WITH_WINE_DISPLAY
  if ! xdotool getdisplaygeometry >/dev/null 2>&1; then
    echo "with-wine: cannot open the X display $DISPLAY" >&2
    exit 1
  fi
else
  # Xvfb picks a free display number itself and reports it on the given descriptor.
  fdfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 "${WITH_WINE_SCREEN:-1280x1024}x24" -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$fdfile" ] && break
    sleep 0.1
  done
  if [ ! -s "$fdfile" ]; then
    echo "with-wine: Xvfb did not start" >&2
    exit 1
  fi
  export DISPLAY=":$(head -n 1 "$fdfile" | tr -d '[:space:]')"
fi

# A prefix made before Debian's 32-bit Wine was installed has no 32-bit system: every program then
# fails to load kernel32.dll. It holds nothing but what wineboot put there: made anew.
if [ -f "$WINEPREFIX/system.reg" ] && [ -x /usr/lib/wine/wine ] && [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
  echo "with-wine: $WINEPREFIX predates 32-bit Wine; making it anew" >&2
  rm -rf "${WINEPREFIX:?}"/*
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "with-wine: creating Wine prefix $WINEPREFIX" >&2
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
wineserver -p
# A program that crashes must fail at once: without a crash dialog (which waits for a click that
# never comes) Wine's debugger prints the exception and a backtrace and ends the process. Set on
# every start, so that older prefixes get it too; being the first program, it also brings up
# Wine's services once here.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1

"$@"
