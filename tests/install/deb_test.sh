#!/usr/bin/env bash
# The Debian packages, built as make deb builds them, unpacked with dpkg-deb
# and checked like an installed tree; lintian must find no error.
#   deb_test.sh BUILD_DIR ELFSYM EXPORTS_FILE
set -euo pipefail
build=$1 elfsym=$2 exports=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
mapfile -t debs < <(find "$work/deb" -maxdepth 1 -name '*.deb' | sort)
[ "${#debs[@]}" -eq 3 ] || fail "expected 3 packages, got ${#debs[@]}"
for deb in "${debs[@]}"; do
  dpkg-deb --info "$deb" >/dev/null || fail "dpkg-deb --info $deb"
  dpkg-deb -x "$deb" "$work/root"
done
runtime=$(find "$work/deb" -maxdepth 1 -name 'libvorn-dal-pelu7-1_*.deb')
depends=$(dpkg-deb --field "$runtime" Depends)
for needed in libssl3 libpcsclite1; do
  case "$depends" in *"$needed"*) ;; *) fail "the runtime package does not depend on $needed: $depends" ;; esac
done
if command -v lintian >/dev/null; then
  lintian --fail-on error --suppress-tags-from-file /dev/null "${debs[@]}" || fail "lintian reports errors"
fi
mkdir "$work/scratch"
"$(dirname "$0")/check_tree.sh" "$work/root" /usr "$elfsym" "$exports" "$work/scratch"
