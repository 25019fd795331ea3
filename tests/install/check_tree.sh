#!/usr/bin/env bash
# Checks an installed tree (a DESTDIR or an unpacked set of packages) from the
# outside, as a host program's developer meets it:
#   check_tree.sh ROOT PREFIX ELFSYM EXPORTS_FILE WORK
# ROOT is the folder the tree was installed or unpacked into, PREFIX the
# installation prefix inside it, ELFSYM the export checker, EXPORTS_FILE the
# expected VORN_DAL names one per line, WORK an empty scratch folder.
set -euo pipefail
root=$1 prefix=$2 elfsym=$3 exports=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
tree=$root$prefix

fail() { echo "FAIL: $*" >&2; exit 1; }

libdir=$(dirname "$(find "$tree" -name libvorn_dal_pelu7.so.1 -print -quit)")
[ -n "$libdir" ] && [ "$libdir" != . ] || fail "libvorn_dal_pelu7.so.1 not installed under $tree"
echo "libraries in $libdir"

# Versioned shared objects with their SONAMEs and the usual links.
for lib in libvorn_dal_pelu7 libtkrdr; do
  soname=$(readelf -d "$libdir/$lib.so.1" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "$lib.so.1" ] || fail "$lib.so.1 has SONAME '$soname'"
  [ -f "$(readlink -f "$libdir/$lib.so.1")" ] || fail "$lib.so.1 does not lead to a file"
done
[ "$(readlink "$libdir/libvorn_dal_pelu7.so")" = libvorn_dal_pelu7.so.1 ] ||
  fail "libvorn_dal_pelu7.so is not a link to libvorn_dal_pelu7.so.1"
readelf -d "$libdir/libvorn_dal_pelu7.so.1" | grep 'NEEDED.*\[libtkrdr.so.1\]' > /dev/null ||
  fail "the DAL does not name libtkrdr.so.1"
if readelf -d "$libdir/libvorn_dal_pelu7.so.1" | grep -Eq 'RPATH|RUNPATH'; then
  fail "the installed DAL still carries a run path"
fi

# Exactly the library's export table, the decorated pair included.
mapfile -t names < "$exports"
"$elfsym" check "$libdir/libvorn_dal_pelu7.so.1" VORN_DAL "${names[@]}"

# The tool and its manual page.
export LD_LIBRARY_PATH=$libdir
"$tree/bin/pelu7" --help | grep "vtoken create" > /dev/null || fail "pelu7 --help"
man_page=$(find "$tree/share/man/man1" -name 'pelu7.1*' -print -quit)
[ -n "$man_page" ] || fail "no pelu7(1)"
for section in NAME SYNOPSIS DESCRIPTION COMMANDS ENVIRONMENT FILES "EXIT STATUS" EXAMPLES; do
  man -l "$man_page" 2>/dev/null | grep "^$section" > /dev/null || fail "pelu7(1) lacks the section $section"
done

# A consumer built with pkg-config alone.
export PKG_CONFIG_PATH=$libdir/pkgconfig
flags=$(pkg-config --cflags --libs vorn_dal_pelu7)
case "$flags" in *"$tree"*) ;; *) fail "pkg-config points outside the tree: $flags" ;; esac
# shellcheck disable=SC2086
cc -Wall -Wextra -Werror -o "$work/consumer-pkgconfig" "$here/consumer/consumer.c" $flags
export PELU7_READERS="USB1=vtoken:"
"$work/consumer-pkgconfig" | grep -qx ok || fail "the pkg-config consumer"

# A consumer built with CMake's find_package alone.
cmake -S "$here/consumer" -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$tree" \
  -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
cmake --build "$work/consumer-cmake" >/dev/null
"$work/consumer-cmake/consumer" | grep -qx ok || fail "the CMake consumer"
echo "installed tree OK"
