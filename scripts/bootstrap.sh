#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 and builds Apache Thrift's C++
# library for the Windows target into a user cache (reused on later runs).
# Idempotent: every step is skipped when its result is already there.
# Prints the Thrift install folder on its last line of stdout.
set -euo pipefail

PACKAGES=(
  cmake make g++ g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 xvfb thrift-compiler libboost-dev googletest
  binutils dpkg-dev xdotool imagemagick x11-apps clang-format python3
  clang libclang-rt-14-dev libthrift-dev libvkd3d1 mesa-vulkan-drivers libcli11-dev nlohmann-json3-dev
  libvulkan-dev glslang-tools vulkan-validationlayers
)
THRIFT_VERSION=0.17.0

log() { echo "[bootstrap] $*" >&2; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
fi

cxx=x86_64-w64-mingw32-g++-posix
toolchain_id="x86_64-w64-mingw32-posix-gcc$($cxx -dumpversion)"
cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/overlay-client"
prefix="$cache_root/thrift-$THRIFT_VERSION-$toolchain_id"

if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

log "building Apache Thrift $THRIFT_VERSION for $toolchain_id into $prefix"
work="$cache_root/work-thrift-$THRIFT_VERSION"
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
src=$(find "$work" -maxdepth 1 -type d -name 'thrift-*' | head -n 1)
[ -n "$src" ] || { log "thrift source not found"; exit 1; }

# Thrift's Windows code includes mixed-case header names; MinGW ships lower-case ones.
fold="$prefix/include-casefold"
mkdir -p "$fold"
for pair in Windows.h:windows.h Shlwapi.h:shlwapi.h WinSock2.h:winsock2.h Winsock2.h:winsock2.h \
            Ws2tcpip.h:ws2tcpip.h WS2tcpip.h:ws2tcpip.h AccCtrl.h:accctrl.h Aclapi.h:aclapi.h \
            AclAPI.h:aclapi.h Sddl.h:sddl.h; do
  ln -sf "/usr/x86_64-w64-mingw32/include/${pair#*:}" "$fold/${pair%%:*}"
done
boost_dir="$work/boost-only"
mkdir -p "$boost_dir"
ln -sfn /usr/include/boost "$boost_dir/boost"

here=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
  -DBUILD_COMPILER=OFF -DBUILD_TESTING=OFF -DBUILD_TUTORIALS=OFF \
  -DWITH_CPP=ON -DWITH_C_GLIB=OFF -DWITH_JAVA=OFF -DWITH_JAVASCRIPT=OFF -DWITH_NODEJS=OFF \
  -DWITH_PYTHON=OFF -DWITH_OPENSSL=OFF -DWITH_LIBEVENT=OFF -DWITH_ZLIB=OFF -DWITH_QT5=OFF \
  -DWITH_STATIC_LIB=ON -DWITH_SHARED_LIB=OFF -DBUILD_SHARED_LIBS=OFF \
  -DBoost_INCLUDE_DIR="$boost_dir" \
  -DCMAKE_CXX_FLAGS="-isystem $fold" >&2
cmake --build "$work/build" --target thrift -j "$(nproc)" >&2

mkdir -p "$prefix/lib" "$prefix/include"
find "$work/build" -name 'libthrift*.a' -exec cp {} "$prefix/lib/" \;
(cd "$src/lib/cpp/src" && find thrift \( -name '*.h' -o -name '*.tcc' \) -exec cp --parents {} "$prefix/include" \;)
cp "$work/build/thrift/config.h" "$prefix/include/thrift/config.h" 2>/dev/null \
  || find "$work/build" -path '*thrift/config.h' -exec cp {} "$prefix/include/thrift/config.h" \;
echo "$THRIFT_VERSION" > "$prefix/VERSION"
rm -rf "$work"
touch "$prefix/.complete"
log "thrift ready"
echo "$prefix"
