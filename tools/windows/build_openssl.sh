#!/bin/sh
# Cross-builds OpenSSL's libcrypto for 32-bit Windows from Debian's source
# package, static and with the legacy provider built in (no-module), and
# caches the headers and libcrypto.a in $PELU7_WIN_CACHE/openssl-<version>/.
# The version is that of the host's libssl3, so both builds use the same
# OpenSSL; when the archive no longer offers that source, the newest one.
# Prints the cached prefix on the last line of stdout.
set -eu
. "$(dirname "$0")/env.sh"

version=$(dpkg-query -W -f='${Version}' libssl3 2>/dev/null || true)
if [ -n "$version" ] && [ -f "$PELU7_WIN_CACHE/openssl-$version/lib/libcrypto.a" ]; then
  echo "$PELU7_WIN_CACHE/openssl-$version"
  exit 0
fi

if [ "$(id -u)" != 0 ]; then
  echo "libcrypto for Windows is not cached; run as root to fetch Debian's openssl source" >&2
  exit 1
fi

work=$(mktemp -d /tmp/pelu7-openssl.XXXXXX)
srclist=/etc/apt/sources.list.d/pelu7-openssl-src.sources
cleanup() {
  rm -rf "$work"
  if [ -f "$srclist" ]; then rm -f "$srclist"; apt-get update -qq || true; fi
}
trap cleanup EXIT INT TERM

# A deb-src entry for each archive of the main sources (the same URIs and
# suites), only for as long as the download takes.
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && [ "$f" != "$srclist" ] && sed -n 's/^Types:.*/Types: deb-src/;p' "$f" && echo
done > "$srclist"
if [ -f /etc/apt/sources.list ]; then
  sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list > /etc/apt/sources.list.d/pelu7-openssl-src.list
fi
apt-get update -qq
rm -f /etc/apt/sources.list.d/pelu7-openssl-src.list

available=$(apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -u)
if [ -z "$version" ] || ! echo "$available" | grep -qxF "$version"; then
  version=$(echo "$available" | sort -V | tail -n 1)
fi
prefix="$PELU7_WIN_CACHE/openssl-$version"
if [ -f "$prefix/lib/libcrypto.a" ]; then echo "$prefix"; exit 0; fi

echo "Cross-building libcrypto from Debian's openssl $version" >&2
cd "$work"
apt-get source -qq --download-only "openssl=$version" >/dev/null 2>&1
dpkg-source -x --no-check openssl_*.dsc src >/dev/null
cd src
./Configure mingw no-shared no-module no-asm no-tests \
  --cross-compile-prefix=$PELU7_WIN_HOST- --prefix="$prefix" --openssldir="$prefix/ssl" >/dev/null
nice -n 10 make -s -j2 build_generated >/dev/null
nice -n 10 make -s -j2 libcrypto.a >/dev/null

# Into a temporary folder beside the cache entry, renamed when complete, so
# that an interrupted build never leaves a half-filled entry.
mkdir -p "$PELU7_WIN_CACHE"
staging=$(mktemp -d "$PELU7_WIN_CACHE/.openssl.XXXXXX")
mkdir -p "$staging/include" "$staging/lib"
cp -r include/openssl "$staging/include/"
rm -f "$staging/include/openssl/"*.in
cp libcrypto.a "$staging/lib/"
echo "$version" > "$staging/VERSION"
chmod -R a+rX "$staging"
mv -T "$staging" "$prefix" 2>/dev/null || rm -rf "$staging"
echo "$prefix"
