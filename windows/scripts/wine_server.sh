#!/bin/sh
# start: starts the wineserver and Wine's service processes detached from the
# caller's stdout and stderr, so that ctest, which reads those of every test
# through pipes, neither waits for the services nor hangs on them; the server
# stays up to 60 s after its last client.  stop: ends that server.
. "$(dirname "$0")/env.sh"
case "${1:-}" in
  start) wineserver -p60 >/dev/null 2>&1 </dev/null
         wineboot >/dev/null 2>&1 </dev/null ;;
  stop)  wineserver -k >/dev/null 2>&1 </dev/null; exit 0 ;;
  *)     echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
