#!/usr/bin/env bash
# Authenticode with the PELU7 token: osslsigncode signs a Windows DLL with
# the token's key through the OpenSSL engine of libp11 (SHA-256, then a
# nested SHA-512 signature), and its own verifier accepts the result against
# the throwaway CA; one changed byte makes it refuse. The DLL is the
# project's own when the Windows build has run (build-win/ beside BUILD_DIR's
# source), otherwise a small PE32 DLL written by make_pe.py.
#
# usage: tests/pkcs11/client_osslsigncode.sh BUILD_DIR
#
# Runs inside private mount and PID namespaces (a tmpfs on /dev/shm for the
# token's memory). Needs root; as another user it is skipped (exit 77).
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/client_lib.sh"
enter_namespaces 240 --mount --propagation private -- "$0" "$build"
require_programs osslsigncode pkcs11-tool openssl python3 "$libdir/engines-3/pkcs11.so"
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
enter_workdir osslsigncode

step "provision: a code-signing certificate for the token's key pair"
if provision_token signer codekey && make_ca &&
  issue_cert code.pem "/CN=PELU7 code signer" pub.pem "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=codeSigning" &&
  store_cert code.pem codekey
then ok; else
  fail "provisioning"
  finish "osslsigncode"
fi

step "the DLL to sign"
project_dll="$here/../../build-win/bin/vorn_dal_pelu7.dll"
if [ -f "$project_dll" ]; then
  cp "$project_dll" unsigned.dll
  echo "   the Windows build's vorn_dal_pelu7.dll"
else
  python3 "$here/make_pe.py" unsigned.dll
  echo "   no Windows build here: a PE32 DLL from make_pe.py"
fi
if file unsigned.dll 2>/dev/null | grep -q 'PE32.*DLL' || [ "$(head -c 2 unsigned.dll)" = MZ ]; then ok; else
  fail "no PE file"; fi

uri="pkcs11:token=signer;id=%01"
# osslsigncode SIGN_OPTION... -in IN -out OUT, with the token's key.
sign() {
  timeout 60 osslsigncode sign -pkcs11engine "$libdir/engines-3/pkcs11.so" -pkcs11module "$module" \
    -pkcs11cert "$uri;type=cert" -key "$uri;type=private" -pass "$pin" \
    -n "PELU7 test" -i https://example.org/pelu7 "$@" >> sign.log 2>&1
}
verify() { timeout 60 osslsigncode verify -CAfile ca.pem -in "$1" > "$1.verify" 2>&1; }

step "sign with SHA-256 on the token; osslsigncode verifies against the CA"
if sign -h sha256 -in unsigned.dll -out signed.dll && verify signed.dll &&
  grep -q '^Signature verification: ok' signed.dll.verify &&
  grep -q 'Subject: /CN=PELU7 code signer' signed.dll.verify &&
  grep -q 'Message digest algorithm *: SHA256' signed.dll.verify
then ok; else cat sign.log signed.dll.verify >&2 2>/dev/null || true; fail "sha256 signature"; fi

step "a nested SHA-512 signature beside the first; both verify"
if sign -nest -h sha512 -in signed.dll -out nested.dll && verify nested.dll &&
  grep -q 'Number of verified signatures: 2' nested.dll.verify &&
  [ "$(grep -c '^Signature verification: ok' nested.dll.verify)" -eq 2 ] &&
  grep -q 'Message digest algorithm *: SHA512' nested.dll.verify
then ok; else cat sign.log nested.dll.verify >&2 2>/dev/null || true; fail "nested signature"; fi

step "one changed byte of the signed code: the verifier refuses"
cp signed.dll tampered.dll
# The first byte of the first section: the bytes after the headers.
offset=$(python3 -c 'import struct,sys
d=open(sys.argv[1],"rb").read(); pe=struct.unpack_from("<I",d,0x3C)[0]
opt=struct.unpack_from("<H",d,pe+20)[0]; sec=pe+24+opt
print(struct.unpack_from("<I",d,sec+20)[0])' tampered.dll)
printf '\x90' | dd of=tampered.dll bs=1 seek="$offset" conv=notrunc status=none
if ! verify tampered.dll && grep -q 'MISMATCH' tampered.dll.verify; then ok; else
  cat tampered.dll.verify >&2; fail "a changed file still verified"; fi

finish "osslsigncode"
