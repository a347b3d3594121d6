#!/usr/bin/env bash
# Test emulator: runs one Windows program under Wine. Expects the environment that
# scripts/with-wine.sh sets up (WINEPREFIX, DISPLAY).
if [ -z "${WINEPREFIX:-}" ] || [ -z "${DISPLAY:-}" ]; then
  echo "wine-run: run through scripts/with-wine.sh (WINEPREFIX and DISPLAY are not set)" >&2
  exit 2
fi
export WINEDEBUG=${WINEDEBUG:--all}
exec wine "$@"
