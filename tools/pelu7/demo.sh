#!/usr/bin/env bash
# A walk through the main job of the PELU7 token with the pelu7 tool, on a
# fresh virtual token in a temporary folder: no hardware, no daemon. Every
# step prints the command and its real result; the script stops with a
# non-zero status as soon as a step does not give what it should.
#
# usage: tools/pelu7/demo.sh BUILD_DIR
set -euo pipefail

build=${1:-build}
tool="$build/bin/pelu7"
if [ ! -x "$tool" ]; then
  echo "demo: $tool not found; build first (make build)" >&2
  exit 1
fi
tool=$(cd "$(dirname "$tool")" && pwd)/pelu7

work=$(mktemp -d "${TMPDIR:-/tmp}/pelu7-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
token="$work/demo.vtoken"
unset PELU7_READERS PELU7_APDU_TRACE PELU7_APDU_TRACE_SECRETS

# The PINs reach the tool through the environment, never the command line.
export DEMO_SO_PIN=87654321 DEMO_USER_PIN=12345678 DEMO_WRONG_PIN=11111111

bold='' plain=''
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; fi
step=0
section() {
  step=$((step + 1))
  printf '\n%s%d. %s%s\n' "$bold" "$step" "$1" "$plain"
}
fail() {
  echo "demo: FAILED: $*" >&2
  exit 1
}
# Shows the command (without the reader option that every step shares) and runs it.
pelu7() {
  printf '$ pelu7 %s\n' "$*"
  "$tool" --reader "vtoken:$token" "$@"
}

echo "pelu7 demo on the virtual token $token"

section "A factory-fresh token: not formatted yet"
pelu7 status

section "Format it with a super-user PIN and a user PIN"
pelu7 format --so-pin-env DEMO_SO_PIN --pin-env DEMO_USER_PIN
pelu7 status

section "Log the user in (the login lasts on the token)"
pelu7 login user --pin-env DEMO_USER_PIN
pelu7 status > status.txt
cat status.txt
grep -q '^user logged in: *yes' status.txt || fail "the user is not logged in"

section "The global information file: create, write, read back"
pelu7 info-file create 32
pelu7 info-file write --in-hex "$(printf 'demo token 2024' | od -An -tx1 | tr -d ' \n')"
pelu7 info-file read --length 15 --out info.back
echo "read back: $(cat info.back)"
[ "$(cat info.back)" = "demo token 2024" ] || fail "the global information file reads back differently"

section "A user data file (type 1, number 7): free to read, the user writes"
pelu7 file create 1 7 64 --read free --write user
printf 'kept on the card' > note.txt
pelu7 file write 1 7 --in note.txt
pelu7 file read 1 7 --length 16 --out note.back
cmp -s note.txt note.back || fail "the user data file reads back differently"
echo "read back: $(cat note.back)"

section "An RSA key pair generated on the card, its public key as PEM"
pelu7 key generate | tee keygen.txt
public_id=$(sed -n 's/.*public key id \([0-9]*\).*/\1/p' keygen.txt)
[ -n "$public_id" ] || fail "no key id in the output of key generate"
pelu7 key export "$public_id" --pem --out pub.pem
cat pub.pem
openssl pkey -pubin -in pub.pem -noout -text | head -n 1

section "Sign a file on the card (PKCS#1 v1.5, SHA-256), verify with openssl"
printf 'An agreement worth signing.\n' > contract.txt
pelu7 sign "$public_id" contract.txt --out contract.sig
echo "signature: $(wc -c < contract.sig) bytes"
echo "$ openssl dgst -sha256 -verify pub.pem -signature contract.sig contract.txt"
openssl dgst -sha256 -verify pub.pem -signature contract.sig contract.txt

section "SSF33 on the card: encrypt and decrypt (CBC)"
key=00112233445566778899aabbccddeeff
iv=0f0e0d0c0b0a09080706050403020100
printf 'Sixteen-byte blocks through the token.' > plain.txt
pelu7 encrypt --alg ssf33 --key "$key" --iv "$iv" --in plain.txt --out cipher.bin
echo "ciphertext: $(od -An -tx1 cipher.bin | tr -d ' \n')"
pelu7 decrypt --alg ssf33 --key "$key" --iv "$iv" --in cipher.bin --out plain.back
cmp -s plain.txt plain.back || fail "SSF33 decryption does not give the plaintext back"
echo "decrypted: $(cat plain.back)"

section "Random bytes from the card"
pelu7 random 16 --hex

section "A wrong PIN: the token tells how many tries are left"
set +e
pelu7 login user --pin-env DEMO_WRONG_PIN 2>&1
status=$?
set -e
[ "$status" -eq 3 ] || fail "a wrong PIN ended with exit status $status, not 3"
echo "(exit status $status: wrong PIN)"
pelu7 login user --pin-env DEMO_USER_PIN

section "What the token holds now (no secrets shown)"
echo "$ pelu7 vtoken show demo.vtoken"
"$tool" vtoken show "$token"

section "The same key through the PKCS#11 module, as ssh sees it"
module=$(cd "$(dirname "$tool")/../lib" && pwd)/libpelu7-pkcs11.so
[ -f "$module" ] || fail "$module not found; build first (make build)"
export PELU7_READERS="USB1=vtoken:$token" PELU7_PKCS11_PORTS=1
if command -v ssh-keygen >/dev/null 2>&1; then
  echo "$ ssh-keygen -D libpelu7-pkcs11.so"
  ssh-keygen -D "$module" | tee ssh_keys.pub
  grep -q '^ssh-rsa ' ssh_keys.pub || fail "ssh-keygen -D lists no key of the token"
elif command -v pkcs11-tool >/dev/null 2>&1; then
  echo "$ pkcs11-tool --module libpelu7-pkcs11.so --list-objects --type pubkey"
  pkcs11-tool --module "$module" --list-objects --type pubkey | tee p11_keys.txt
  grep -q 'Public Key Object; RSA 1024 bits' p11_keys.txt || fail "pkcs11-tool lists no key of the token"
else
  fail "neither ssh-keygen (openssh-client) nor pkcs11-tool (opensc) is installed"
fi
unset PELU7_READERS PELU7_PKCS11_PORTS

printf '\n%sDemo complete: every step gave the expected result.%s\n' "$bold" "$plain"
