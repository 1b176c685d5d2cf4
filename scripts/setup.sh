#!/usr/bin/env bash
# Everything a fresh Debian 12 machine needs, done only where it is missing:
# packages, both builds (x86_64 tested, i686 built), the Wine prefix.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TERN_BUILD_DIR:-$top/build}

packages=(cmake ninja-build g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools
          binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine64 googletest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  [ "$(id -u)" = 0 ] || { echo "setup: run as root to install packages" >&2; exit 1; }
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

configure() {  # dir toolchain extra-args...
  local dir=$1 toolchain=$2; shift 2
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$toolchain" "$@" >/dev/null
  fi
}
configure "$build/x86" toolchain-i686-w64-mingw32.cmake -DTERN_RUN_TESTS=OFF
configure "$build/x64" toolchain-x86_64-w64-mingw32.cmake -DTERN_I686_BUILD_DIR="$build/x86"

echo "== building i686 (built and linked; cannot run on this kernel)"
cmake --build "$build/x86"
echo "== building x86_64"
cmake --build "$build/x64"

"$top/scripts/wine-prefix.sh" "$build/x64/wineprefix" "$build/x64/drives"
