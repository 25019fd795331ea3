#!/bin/sh
# Cross-builds OpenSSL's libcrypto for 32-bit Windows from Debian's source
# package, static and with the legacy provider built in (no-module), and
# caches the headers and libcrypto.a in
# $PELU7_WIN_CACHE/openssl-<version>-<checksum of the options>/.
# The version is that of the host's libssl3, so both builds use the same
# OpenSSL; when the mirror does not serve that source, the newest it does.
# Prints the cached prefix on the last line of stdout.
#
# no-pinshared: otherwise libcrypto's first initialisation pins the module
# that holds it, which for a static link is the DLL linking it, and
# FreeLibrary never unloads that DLL (nor runs its process-detach code).
# no-atexit: otherwise libcrypto registers its clean-up with msvcrt's
# process-wide _onexit, which mingw does not run at FreeLibrary: a process
# that unloaded the DLL crashes at exit, calling into the unmapped DLL. A
# DLL that wants libcrypto's memory back calls OPENSSL_cleanup() itself on
# process detach.
# The options are part of the cache entry's name, so that changing them
# builds a new entry.
set -eu
. "$(dirname "$0")/env.sh"

OPTIONS="no-shared no-module no-asm no-tests no-pinshared no-atexit"
tag=$(echo "$OPTIONS" | cksum | cut -c1-8)
entry() { echo "$PELU7_WIN_CACHE/openssl-$1-$tag"; }

# Which cache entry serves this host's libssl3 is written down once chosen,
# so that a warm run needs neither the network nor apt.
hostversion=$(dpkg-query -W -f='${Version}\n' libssl3 2>/dev/null | head -n 1 || true)
choice="$PELU7_WIN_CACHE/openssl-for-libssl3-$hostversion-$tag"
if [ -f "$choice" ] && [ -f "$(cat "$choice")/lib/libcrypto.a" ]; then
  cat "$choice"
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

# The host's version first, then the others newest first; the first whose
# files the mirror serves is built (a security archive may list a source it
# no longer serves).
available=$(apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -u -V -r)
candidates=$( (echo "$available" | grep -xF "${hostversion:-none}" || true
               echo "$available" | grep -vxF "${hostversion:-none}" || true) )
cd "$work"
version=""
for v in $candidates; do
  if [ -f "$(entry "$v")/lib/libcrypto.a" ]; then version=$v; break; fi
  if apt-get source -qq --download-only "openssl=$v" >/dev/null 2>&1; then version=$v; break; fi
  echo "openssl $v: source not served, trying the next version" >&2
  rm -f openssl_*
done
if [ -z "$version" ]; then echo "no openssl source package could be fetched" >&2; exit 1; fi
prefix=$(entry "$version")
if [ -f "$prefix/lib/libcrypto.a" ]; then echo "$prefix" > "$choice"; echo "$prefix"; exit 0; fi

echo "Cross-building libcrypto from Debian's openssl $version" >&2
dpkg-source -x --no-check openssl_*.dsc src >/dev/null
cd src
# shellcheck disable=SC2086
./Configure mingw $OPTIONS \
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
echo "$version $OPTIONS" > "$staging/VERSION"
chmod -R a+rX "$staging"
mv -T "$staging" "$prefix" 2>/dev/null || rm -rf "$staging"
echo "$prefix" > "$choice"
echo "$prefix"
