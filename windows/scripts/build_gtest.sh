#!/bin/sh
# Cross-builds GoogleTest and GoogleMock from Debian's /usr/src/googletest with
# the project's mingw toolchain and caches the installed tree (with its CMake
# package) in $PELU7_WIN_CACHE/googletest-<version>/. Prints the prefix on the
# last line of stdout.
set -eu
. "$(dirname "$0")/env.sh"
root=$(cd "$(dirname "$0")/../.." && pwd)

version=$(dpkg-query -W -f='${Version}' googletest)
prefix="$PELU7_WIN_CACHE/googletest-$version"
if [ -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then echo "$prefix"; exit 0; fi

mkdir -p "$PELU7_WIN_CACHE"
work=$(mktemp -d /tmp/pelu7-gtest.XXXXXX)
staging=$(mktemp -d "$PELU7_WIN_CACHE/.googletest.XXXXXX")
trap 'rm -rf "$work" "$staging"' EXIT INT TERM
echo "Cross-building GoogleTest $version" >&2
# Installed into the staging folder, then renamed: the CMake package files
# hold no absolute prefix, so the tree can move.
cmake -S /usr/src/googletest -B "$work" -DCMAKE_TOOLCHAIN_FILE="$root/windows/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$staging" >/dev/null
nice -n 10 cmake --build "$work" -j2 >/dev/null
cmake --install "$work" >/dev/null
chmod -R a+rX "$staging"
mv -T "$staging" "$prefix" 2>/dev/null || true
echo "$prefix"
