#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 and builds Apache Thrift's C++
# library for the Windows target into a user cache (reused on later runs).
# Idempotent: every step is skipped when its result is already there.
# Builds it twice: for 64-bit and for 32-bit Windows, each into its own folder.
# Prints the 64-bit Thrift install folder on its last line of stdout; with --x86, the 32-bit one.
set -euo pipefail

PACKAGES=(
  cmake make g++ g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 xvfb thrift-compiler libboost-dev googletest
  binutils dpkg-dev xdotool imagemagick x11-apps clang-format python3
  clang libclang-rt-14-dev libthrift-dev libvkd3d1 mesa-vulkan-drivers libcli11-dev nlohmann-json3-dev
  libvulkan-dev glslang-tools vulkan-validationlayers
)
# 32-bit games run under Wine's 32-bit loader, with Mesa's 32-bit OpenGL and Vulkan drivers:
# packages of the i386 architecture, which dpkg is told about first.
PACKAGES_I386=(wine32:i386 libgl1:i386 libglx-mesa0:i386 libgl1-mesa-dri:i386 libegl1:i386 libvulkan1:i386
  mesa-vulkan-drivers:i386)
THRIFT_VERSION=0.17.0

log() { echo "[bootstrap] $*" >&2; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  log "adding the i386 architecture (32-bit Wine)"
  as_root dpkg --add-architecture i386
fi
# Installs the packages of `$1` (a name list) that are missing; the rest are extra apt-get options.
install_missing() {
  local -n wanted=$1
  shift
  local missing=() p
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  log "installing: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" "${missing[@]}" >&2
}
install_missing PACKAGES
# Their recommendations would bring a second desktop's worth of i386 libraries.
install_missing PACKAGES_I386 --no-install-recommends

cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/overlay-client"
here=$(cd "$(dirname "$0")/.." && pwd)

# Builds Thrift's static C++ library with the MinGW-w64 compiler for <triple> (toolchain file
# cmake/<toolchain>.cmake) into its own prefix, named by that compiler, and sets $prefix to it.
build_thrift() {
  local triple=$1 toolchain=$2
  local cxx=$triple-g++-posix
  local toolchain_id
  toolchain_id="$triple-posix-gcc$($cxx -dumpversion)"
  prefix="$cache_root/thrift-$THRIFT_VERSION-$toolchain_id"
  [ -f "$prefix/.complete" ] && return 0

  log "building Apache Thrift $THRIFT_VERSION for $toolchain_id into $prefix"
  local work="$cache_root/work-thrift-$THRIFT_VERSION-$triple"
  rm -rf "$work" "$prefix"
  mkdir -p "$work"

  # apt-get source needs a deb-src entry.
  if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    log "adding a deb-src entry for bookworm main"
    as_root tee /etc/apt/sources.list.d/overlay-client-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    as_root apt-get update -qq
  fi
  (cd "$work" && apt-get source -qq "thrift=$THRIFT_VERSION*" >&2 2>/dev/null || apt-get source -qq thrift >&2)
  local src
  src=$(find "$work" -maxdepth 1 -type d -name 'thrift-*' | head -n 1)
  [ -n "$src" ] || { log "thrift source not found"; exit 1; }

  # Thrift's Windows code includes mixed-case header names; MinGW ships lower-case ones.
  local fold="$prefix/include-casefold" pair
  mkdir -p "$fold"
  for pair in Windows.h:windows.h Shlwapi.h:shlwapi.h WinSock2.h:winsock2.h Winsock2.h:winsock2.h \
              Ws2tcpip.h:ws2tcpip.h WS2tcpip.h:ws2tcpip.h AccCtrl.h:accctrl.h Aclapi.h:aclapi.h \
              AclAPI.h:aclapi.h Sddl.h:sddl.h; do
    ln -sf "/usr/$triple/include/${pair#*:}" "$fold/${pair%%:*}"
  done
  local boost_dir="$work/boost-only"
  mkdir -p "$boost_dir"
  ln -sfn /usr/include/boost "$boost_dir/boost"

  cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/$toolchain.cmake" \
    -DBUILD_COMPILER=OFF -DBUILD_TESTING=OFF -DBUILD_TUTORIALS=OFF \
    -DWITH_CPP=ON -DWITH_C_GLIB=OFF -DWITH_JAVA=OFF -DWITH_JAVASCRIPT=OFF -DWITH_NODEJS=OFF \
    -DWITH_PYTHON=OFF -DWITH_OPENSSL=OFF -DWITH_LIBEVENT=OFF -DWITH_ZLIB=OFF -DWITH_QT5=OFF \
    -DWITH_STATIC_LIB=ON -DWITH_SHARED_LIB=OFF -DBUILD_SHARED_LIBS=OFF \
    -DBoost_INCLUDE_DIR="$boost_dir" \
    -DCMAKE_CXX_FLAGS="-isystem $fold" >&2
  cmake --build "$work/build" --target thrift -j "${BOOTSTRAP_JOBS:-$(nproc)}" >&2

  mkdir -p "$prefix/lib" "$prefix/include"
  find "$work/build" -name 'libthrift*.a' -exec cp {} "$prefix/lib/" \;
  (cd "$src/lib/cpp/src" && find thrift \( -name '*.h' -o -name '*.tcc' \) -exec cp --parents {} "$prefix/include" \;)
  cp "$work/build/thrift/config.h" "$prefix/include/thrift/config.h" 2>/dev/null \
    || find "$work/build" -path '*thrift/config.h' -exec cp {} "$prefix/include/thrift/config.h" \;
  echo "$THRIFT_VERSION" > "$prefix/VERSION"
  rm -rf "$work"
  touch "$prefix/.complete"
  log "thrift ready for $triple"
}

# The 64-bit one first, then the 32-bit one (for the overlay_client_x86.dll tree). The last line is
# the 64-bit prefix, or with --x86 the 32-bit one
# ($cache_root/thrift-<version>-i686-w64-mingw32-posix-gcc<version>).
build_thrift x86_64-w64-mingw32 mingw-w64-x86_64
prefix_x64=$prefix
build_thrift i686-w64-mingw32 mingw-w64-i686
prefix_x86=$prefix
if [ "${1:-}" = "--x86" ]; then
  echo "$prefix_x86"
else
  echo "$prefix_x64"
fi
