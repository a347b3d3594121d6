#!/usr/bin/env bash
# Builds the 32-bit tree (overlay_client_x86.dll, overlay_loader_x86.dll, the demo games and the
# test programs that build for 32-bit) into ${OVERLAY_BUILD_DIR_X86:-build-x86}. Its tests need a
# 32-bit Wine to run. Extra arguments go to cmake --build, e.g.  scripts/build-x86.sh --target overlay_client
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${OVERLAY_BUILD_DIR_X86:-$root/build-x86}

thrift_root=$("$root/scripts/bootstrap.sh" --x86 | tail -n 1)
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
  -DTHRIFT_ROOT="$thrift_root" >/dev/null
cmake --build "$build" -j "${OVERLAY_JOBS:-$(nproc)}" "$@"
echo "$build/src/overlay/overlay_client/overlay_client_x86.dll"
