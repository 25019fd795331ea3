#!/bin/sh
# Installs the Debian packages the Windows build needs: the mingw-w64 i686
# toolchain (posix threads), Wine with its 32-bit half from the i386
# architecture, GoogleTest's sources, and what unpacks a source package.
# Installs as root only; otherwise names what is missing and fails.
#
# Note: wine32:i386 needs the amd64 and i386 copies of shared packages at the
# same version, so on a machine that is behind its archive the install also
# upgrades host packages (libssl3, zlib, systemd and others) to the archive's
# current versions.
set -eu

HOST_PKGS="g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 \
  googletest cmake make dpkg-dev ccache"
WINE_PKGS="wine wine32:i386"

missing=""
for p in $HOST_PKGS $WINE_PKGS; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "Missing packages:$missing (run as root to install them)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
echo "Installing:$missing"
case " $(dpkg --print-foreign-architectures | tr '\n' ' ') " in
  *" i386 "*) ;;
  *) dpkg --add-architecture i386 ;;
esac
# apt's download and set-up lines as they come (mawk, Debian's awk, reads a
# pipe line by line only when told), its exit status carried through the filter.
line_awk=awk
if awk -W version 2>&1 </dev/null | grep -q mawk; then line_awk="awk -W interactive"; fi
# shellcheck disable=SC2086
{ apt-get update && apt-get install -y --no-install-recommends $missing; echo "apt-exit $?"; } 2>&1 |
  $line_awk '/^apt-exit / { rc = $2; next }
       /^(Get:|Hit:|Unpacking |Setting up |E: |W: )/ { print "  " $0; fflush() }
       END { exit rc }' || exit 1
