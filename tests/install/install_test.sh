#!/usr/bin/env bash
# make install into a temporary DESTDIR, then the tree is checked from outside.
#   install_test.sh BUILD_DIR ELFSYM EXPORTS_FILE
set -euo pipefail
build=$1 elfsym=$2 exports=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
DESTDIR="$work/dest" cmake --install "$build" --prefix /usr/local >/dev/null
[ -f "$work/dest/usr/local/include/vorn_dal_pelu7.h" ] || { echo "FAIL: no header installed" >&2; exit 1; }
mkdir "$work/scratch"
"$(dirname "$0")/check_tree.sh" "$work/dest" /usr/local "$elfsym" "$exports" "$work/scratch"
