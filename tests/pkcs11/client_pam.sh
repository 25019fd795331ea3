#!/usr/bin/env bash
# Linux login with the PELU7 token: pam_pkcs11 configured for the module, a
# test user whose certificate (from a throwaway CA) is on the token, checked
# with pamtester: the right PIN authenticates, a wrong PIN is refused and the
# card counts the try.
#
# usage: tests/pkcs11/client_pam.sh BUILD_DIR
#
# Runs inside private mount and PID namespaces: the PAM service, the test
# user and pam_pkcs11's configuration are seen only there (bind mounts over
# /etc/pam.d, /etc/passwd, /etc/shadow and /etc/group), so the machine's own
# PAM configuration and accounts stay as they are. Needs root; as another
# user it is skipped (exit 77).
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")/client_lib.sh"
enter_namespaces 240 --mount --propagation private -- "$0" "$build"
require_programs pamtester pkcs11-tool openssl /lib/"$(gcc -print-multiarch)"/security/pam_pkcs11.so
enter_workdir pam
user=pelu7user

step "provision: the user's key pair on the token and a certificate naming the user"
if provision_token pam login && make_ca &&
  issue_cert user.pem "/CN=$user" pub.pem "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=clientAuth" &&
  store_cert user.pem login; then ok; else
  fail "provisioning"
  finish "pam client"
fi

# The CA folder as pam_pkcs11 reads it (hash links), and its configuration:
# the module, the CA check and a signature by the card's key, the login name
# from the certificate's common name.
mkdir cacerts crls
cp ca.pem cacerts/
openssl rehash cacerts 2>/dev/null || c_rehash cacerts >/dev/null
cat > pam_pkcs11.conf <<EOF
pam_pkcs11 {
  nullok = false;
  debug = false;
  use_first_pass = false;
  try_first_pass = false;
  use_authtok = false;
  card_only = true;
  wait_for_card = false;
  use_pkcs11_module = pelu7;
  pkcs11_module pelu7 {
    module = $module;
    description = "PELU7 token";
    slot_num = 0;
    ca_dir = $work/cacerts;
    crl_dir = $work/crls;
    support_threads = false;
    cert_policy = ca,signature;
    token_type = "PELU7 token";
  }
  use_mappers = cn;
  mapper_search_path = /lib/$(gcc -print-multiarch)/pam_pkcs11;
  mapper cn {
    debug = false;
    module = internal;
    ignorecase = false;
    mapfile = "none";
  }
}
EOF

# The PAM service and the test user, visible in this mount namespace only.
mkdir pam.d
cat > pam.d/pelu7-login <<EOF
auth    required  pam_pkcs11.so config_file=$work/pam_pkcs11.conf
account required  pam_permit.so
EOF
cp /etc/passwd passwd
cp /etc/shadow shadow
cp /etc/group group
echo "$user:x:4711:4711:PELU7 test user:$work:/bin/sh" >> passwd
echo "$user:!:20000:0:99999:7:::" >> shadow
echo "$user:x:4711:" >> group
mount --bind "$work/pam.d" /etc/pam.d
for file in passwd shadow group; do mount --bind "$work/$file" "/etc/$file"; done

# pamtester answers the PIN prompt from its standard input.
login() { printf '%s\n' "$1" | timeout 60 pamtester -v pelu7-login "$user" authenticate; }

step "pamtester: the right PIN authenticates the user"
if login "$pin" > right.out 2>&1 && grep -q 'successfully authenticated' right.out; then ok; else
  cat right.out >&2; fail "right PIN"; fi

step "pamtester: a wrong PIN is refused, and the card counts the try"
tries_before=$(user_pin_tries)
if ! login 11111111 > wrong.out 2>&1 && grep -q 'Wrong smartcard PIN' wrong.out &&
  [ -n "$tries_before" ] && [ "$(user_pin_tries)" -eq $((tries_before - 1)) ]
then ok; else cat wrong.out >&2; fail "wrong PIN (tries before: ${tries_before:-?}, after: $(user_pin_tries))"; fi

step "pamtester: a user whose certificate is not on the token is refused with the right PIN"
if ! printf '%s\n' "$pin" | timeout 60 pamtester pelu7-login root authenticate > other.out 2>&1 &&
  grep -q 'No matching certificate' other.out
then ok; else cat other.out >&2; fail "another user"; fi

step "pamtester: the right PIN again authenticates and gives the tries back"
if login "$pin" > again.out 2>&1 && grep -q 'successfully authenticated' again.out &&
  [ "$(user_pin_tries)" -eq "$tries_before" ]
then ok; else cat again.out >&2; fail "right PIN after a wrong one"; fi

finish "pam client"
