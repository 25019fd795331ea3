#!/bin/sh
# closed_parent_test.sh TEST_TOOL: the tool tests that run the tool as another
# user, from a copy of the build inside a folder only root may enter (as a
# checkout in root's home is on Debian): every one of them runs and passes.
set -u
test_tool=$1
if [ "$(id -u)" != 0 ]; then
  echo "skipped: only root runs the tool as another user"
  exit 77
fi
bin=$(dirname "$test_tool")
build=$(dirname "$bin")
closed=$(mktemp -d)
trap 'rm -rf "$closed"' EXIT
mkdir -p "$closed/build/bin" "$closed/build/lib" || exit 1
cp -a "$bin/test_tool" "$bin/pelu7" "$closed/build/bin/" || exit 1
cp -a "$build"/lib/*.so* "$closed/build/lib/" || exit 1
chmod 0700 "$closed" || exit 1

# The folder really is closed to that user.
denied=$(setpriv --reuid=65533 --regid=65533 --clear-groups "$closed/build/bin/pelu7" --help 2>&1)
case $denied in
  *"Permission denied"*) ;;
  *) echo "FAILED: uid 65533 was not kept out of $closed: $denied"; exit 1 ;;
esac

out=$("$closed/build/bin/test_tool" --gtest_filter='ReadOnlyTokenTest.*:Pins/ReadOnlyLoginTest.*' 2>&1)
status=$?
echo "$out"
case $out in
  *"[  PASSED  ] 4 tests."*) ;;
  *) echo "FAILED: expected the 4 other-user tests to pass"; exit 1 ;;
esac
case $out in
  *SKIPPED*) echo "FAILED: a test was skipped"; exit 1 ;;
esac
exit $status
