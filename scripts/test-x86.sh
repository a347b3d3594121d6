#!/usr/bin/env bash
# On demand: the whole 32-bit tree (scripts/build-x86.sh) built and its Wine tests run, each under
# Wine's 32-bit loader in a prefix of the WoW64 kind. scripts/test.sh runs only the 32-bit games
# end to end (overlay_e2e_*_x86); this runs the rest: the DLL's exports, hooks, renderers, input,
# IPC and log in a 32-bit process. Entries that run this tree's own overlay_host (labelled e2e, and
# the SDK's example host) are left out: the host is always the 64-bit one, and test.sh runs it against
# 32-bit games. Extra arguments go to ctest, e.g.  scripts/test-x86.sh -R client
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${OVERLAY_BUILD_DIR_X86:-$root/build-x86}
OVERLAY_BUILD_DIR_X86=$build "$root/scripts/build-x86.sh" >/dev/null
"$root/scripts/with-wine.sh" "$build/wine-prefix" \
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -LE e2e -E '^(sdk_minimal_host|overlay_host_cli)$' "$@"
