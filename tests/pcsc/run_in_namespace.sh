#!/bin/sh
# Runs the PC/SC end-to-end suite (the test binary given as $1, with any
# further arguments passed to it) inside private namespaces:
#   - a mount namespace with its own tmpfs on /run/pcscd, where the suite's own
#     pcscd puts its socket (pcscd 1.9 always uses /run/pcscd/pcscd.comm), and
#     on /dev/shm, where the library's cross-process lock lives;
#   - a PID namespace with its own /proc. This shell is its first process:
#     when it ends, the kernel ends every process the suite started (pcscd,
#     the tool attaching tokens, forked workers), even when the suite crashed
#     or was killed, and unshare --kill-child ends this shell when unshare
#     itself is killed (a ctest time-out).
# A pcscd already running on the machine is never seen nor disturbed.
# Needs root; as another user the suite is reported as skipped (exit 77).
set -eu

if [ "${1:-}" = --inside ] && [ "$$" = 1 ] && [ "${PELU7_PCSC_NAMESPACE:-}" = 1 ]; then
  shift
  # The client library would look for the daemon elsewhere if told to.
  unset PCSCLITE_CSOCK_NAME
  mkdir -p /run/pcscd
  mount -t tmpfs -o mode=0755 tmpfs /run/pcscd
  mount -t tmpfs -o mode=1777 tmpfs /dev/shm
  status=0
  "$@" || status=$?
  exit "$status"
fi

if [ "$#" -lt 1 ]; then
  echo "usage: $0 TEST_BINARY [ARGS...]" >&2
  exit 2
fi
if [ "$(id -u)" != 0 ]; then
  echo "the PC/SC end-to-end suite needs root for its private namespaces; skipped" >&2
  exit 77
fi
missing=""
command -v pcscd >/dev/null 2>&1 || missing="$missing pcscd"
command -v opensc-tool >/dev/null 2>&1 || missing="$missing opensc"
[ -e /usr/lib/pcsc/drivers/serial/libifdvpcd.so ] || missing="$missing vsmartcard-vpcd"
command -v unshare >/dev/null 2>&1 || missing="$missing util-linux"
if [ -n "$missing" ]; then
  echo "missing packages:$missing (make test installs them)" >&2
  exit 1
fi
export PELU7_PCSC_NAMESPACE=1
exec unshare --mount --propagation private --pid --fork --mount-proc --kill-child "$0" --inside "$@"
