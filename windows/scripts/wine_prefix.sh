#!/bin/sh
# Creates the headless 32-bit Wine prefix once ($WINEPREFIX, see env.sh).
# `wineboot -i` returns before the registry is written, so wait for the
# wineserver to finish; a prefix without system.reg is made again.
set -eu
. "$(dirname "$0")/env.sh"
[ -f "$WINEPREFIX/system.reg" ] && exit 0
mkdir -p "$(dirname "$WINEPREFIX")"
rm -rf "$WINEPREFIX"
echo "Creating the Wine prefix $WINEPREFIX" >&2
wineboot -i >/dev/null 2>&1 </dev/null
wineserver -w
[ -f "$WINEPREFIX/system.reg" ]
