#!/usr/bin/env bash
# Java against the PELU7 module on a file-backed virtual token: the JDK's
# SunPKCS11 provider configured with the module; keytool lists the token's
# key with its certificate, jarsigner signs a jar with the token's key and
# jarsigner -verify accepts it.
#
# usage: tests/pkcs11/client_java.sh BUILD_DIR
#
# Needs no privileges: everything lives in a scratch folder.
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")/client_lib.sh"
require_programs java keytool jarsigner jar pkcs11-tool openssl
enter_workdir java

step "provision: a key pair on the token and its certificate from a throwaway CA"
if provision_token java signer && make_ca &&
  issue_cert signer.pem "/CN=PELU7 jar signer" pub.pem "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=codeSigning" &&
  store_cert signer.pem signer; then ok; else
  fail "provisioning"
  finish "java client"
fi

cat > sunpkcs11.cfg <<EOF
name = PELU7
library = $module
slotListIndex = 0
EOF
# The provider and the token's store, as keytool and jarsigner take them.
store=(-keystore NONE -storetype PKCS11 -providerClass sun.security.pkcs11.SunPKCS11
  -providerArg "$work/sunpkcs11.cfg" -storepass "$pin")

step "keytool -list: the token's key with its certificate"
fingerprint=$(openssl x509 -in signer.pem -noout -fingerprint -sha256 | sed 's/.*=//')
if timeout 120 keytool -list "${store[@]}" > keytool.out 2>&1 &&
  grep -q '^signer, PrivateKeyEntry' keytool.out &&
  grep -qF "$fingerprint" keytool.out
then ok; else cat keytool.out >&2; fail "keytool -list"; fi

step "jarsigner signs a jar with the token's key; jarsigner -verify accepts it"
# The verification trusts the throwaway CA only, so an accepted jar with a
# valid chain was signed by the key the CA certified: the token's.
mkdir content
printf 'signed by the PELU7 token\n' > content/hello.txt
if jar --create --file unsigned.jar -C content hello.txt &&
  timeout 120 jarsigner "${store[@]}" -signedjar signed.jar unsigned.jar signer > sign.out 2>&1 &&
  keytool -importcert -noprompt -alias ca -file ca.pem -keystore trust.p12 -storetype PKCS12 \
    -storepass trustpass > /dev/null 2>&1 &&
  timeout 120 jarsigner -verify -verbose -certs -keystore trust.p12 -storetype PKCS12 -storepass trustpass \
    signed.jar > verify.out 2>&1 &&
  grep -q '^jar verified' verify.out && grep -q '^sm .* hello.txt$' verify.out &&
  grep -q 'Signed by "CN=PELU7 jar signer"' verify.out && ! grep -q 'Invalid certificate chain' verify.out
then ok; else cat sign.out verify.out >&2 2>/dev/null || true; fail "jarsigner"; fi

finish "java client"
