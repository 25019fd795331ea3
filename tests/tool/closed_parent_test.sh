#!/bin/sh
# closed_parent_test.sh TEST_TOOL: the tool tests that run the tool as another
# user pass when that user cannot enter the build's folder (as with a checkout
# in root's home, drwx------ on Debian). In a private mount namespace, the
# build's folder is replaced by a root-only folder holding copies of the test
# program, the tool and the libraries; nothing outside the namespace changes.
set -u
test_tool=$1
if [ "$(id -u)" != 0 ]; then
  echo "skipped: only root runs the tool as another user"
  exit 77
fi
if ! unshare --mount true 2>/dev/null; then
  echo "skipped: no private mount namespace here (in a chroot, / is not a mount point)"
  exit 77
fi
build=$(cd "$(dirname "$test_tool")/.." && pwd) || exit 1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/bin" "$stage/lib" || exit 1
cp -a "$build/bin/test_tool" "$build/bin/pelu7" "$stage/bin/" || exit 1
cp -a "$build"/lib/*.so* "$stage/lib/" || exit 1

export build stage
unshare --mount sh -c '
  mount -t tmpfs -o mode=0700 closed-build "$build" || exit 1
  cp -a "$stage/bin" "$stage/lib" "$build/" || exit 1
  # The folder really is closed to that user.
  if setpriv --reuid=65533 --regid=65533 --clear-groups cat "$build/lib/libvorn_dal_pelu7.so.1" >/dev/null 2>&1; then
    echo "FAILED: uid 65533 reads the libraries in $build"
    exit 1
  fi
  exec "$build/bin/test_tool" --gtest_filter="ReadOnlyTokenTest.*:Pins/ReadOnlyLoginTest.*"' >"$stage/out" 2>&1
status=$?
cat "$stage/out"
grep -q '^\[  PASSED  \] 4 tests\.' "$stage/out" || { echo "FAILED: expected the 4 other-user tests to pass"; exit 1; }
if grep -q SKIPPED "$stage/out"; then echo "FAILED: a test was skipped"; exit 1; fi
exit $status
