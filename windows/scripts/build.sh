#!/bin/sh
# build.sh BUILD_DIR: everything `make windows` does, each step timed.
#   1. the Debian packages (deps.sh, as root)
#   2. libcrypto and GoogleTest cross-built, or taken from the cache
#   3. the Wine prefix, made once
#   4. the build tree BUILD_DIR configured from the top-level CMakeLists.txt
#      with windows/cmake/mingw-i686.cmake and built: build-win/bin holds the DLLs,
#      pelu7.exe and the Windows test programs
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-build-win}
. "$here/env.sh"

pelu7_timed "packages" sh "$here/deps.sh"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
pelu7_timed "libcrypto" sh "$here/build_openssl.sh" > "$out"
openssl=$(tail -n 1 "$out")
pelu7_timed "googletest" sh "$here/build_gtest.sh" > "$out"
gtest=$(tail -n 1 "$out")
echo "[windows] libcrypto: $openssl; GoogleTest: $gtest" >&2
pelu7_timed "wine prefix" sh "$here/wine_prefix.sh"
# A build tree configured against other cache entries (a new library version)
# would keep the old paths that find_package stored: configure it afresh.
fresh=""
if [ -f "$build/CMakeCache.txt" ] &&
   ! grep -qxF "PELU7_WIN_PREFIXES:STRING=$openssl;$gtest" "$build/CMakeCache.txt"; then
  fresh=--fresh
fi
pelu7_timed "configure" cmake $fresh -S "$root" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/windows/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  "-DPELU7_WIN_PREFIXES=$openssl;$gtest"
pelu7_timed "build" cmake --build "$build" -j "${JOBS:-2}"
