#!/usr/bin/env bash
# GnuPG and git with the PELU7 token: gpg-agent with gnupg-pkcs11-scd as its
# smart-card daemon over the module, an OpenPGP key made from the token's key
# (by its keygrip), then a signed git commit and a signed tag that git
# verifies, also in a keyring holding only the exported public key. Then a
# wrong PIN: gpg-agent asks for it three times and the card counts three
# tries; the right PIN afterwards signs and the card's counter is full again.
# Last, the smart-card daemon is killed while it holds the login: the next
# signature starts a new one.
#
# usage: tests/pkcs11/client_gnupg.sh BUILD_DIR
#
# The PIN is given by a small pinentry (the Assuan protocol: OK to every
# line, the PIN from a file for GETPIN), as a desktop's pinentry would.
# Runs inside private mount and PID namespaces (a tmpfs on /dev/shm for the
# token's memory). Needs root; as another user it is skipped (exit 77).
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")/client_lib.sh"
enter_namespaces 240 --mount --propagation private -- "$0" "$build"
require_programs gpg gpg-agent gpgconf gpg-connect-agent gnupg-pkcs11-scd git pkcs11-tool openssl
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
enter_workdir gnupg
user="PELU7 GnuPG user"
email="gnupg-user@pelu7.test"

# Returns once the process PID has gone (within 30 s).
wait_gone() {
  for _ in $(seq 150); do
    kill -0 "$1" 2> /dev/null || return 0
    sleep 0.2
  done
  return 1
}

step "provision: a key pair and its certificate on the token"
if provision_token gnupg pgpkey && make_ca &&
  issue_cert user.pem "/CN=$user" pub.pem "keyUsage=critical,digitalSignature,keyEncipherment" &&
  store_cert user.pem pgpkey
then ok; else
  fail "provisioning"
  finish "gnupg"
fi

export GNUPGHOME="$work/gnupg"
mkdir -m 700 "$GNUPGHOME"
printf '%s' "$pin" > pin.txt
cat > pinentry <<EOF
#!/bin/sh
echo "OK Pleased to meet you"
while IFS= read -r line; do
  case "\$line" in
    GETPIN*) echo GETPIN >> "$work/pinentry.log"; printf 'D %s\nOK\n' "\$(cat "$work/pin.txt")" ;;
    BYE*) echo OK; exit 0 ;;
    *) echo OK ;;
  esac
done
EOF
chmod 700 pinentry
cat > "$GNUPGHOME/gpg-agent.conf" <<EOF
scdaemon-program /usr/bin/gnupg-pkcs11-scd
pinentry-program $work/pinentry
EOF
cat > "$GNUPGHOME/gnupg-pkcs11-scd.conf" <<EOF
providers p1
provider-p1-library $module
log-file $work/scd.log
EOF
: > pinentry.log

step "gpg-agent learns the token's key through gnupg-pkcs11-scd"
grip=""
if timeout 60 gpg-connect-agent 'LEARN --sendinfo --force' /bye > learn.out 2>&1; then
  grip=$(sed -n 's/^S KEYPAIRINFO \([0-9A-F]\{40\}\) .*/\1/p' learn.out | head -n 1)
fi
if [ -n "$grip" ]; then ok; else cat learn.out scd.log >&2 2>/dev/null || true; fail "no KEYPAIRINFO"; fi

step "an OpenPGP key from the token's key by its keygrip (the PIN through the pinentry)"
cat > keyparams <<EOF
Key-Type: RSA
Key-Grip: $grip
Key-Usage: sign
Name-Real: $user
Name-Email: $email
Expire-Date: 0
%no-protection
%commit
EOF
fpr=""
if [ -n "$grip" ] && timeout 90 gpg --batch --gen-key keyparams > genkey.out 2>&1; then
  fpr=$(gpg --with-colons --list-secret-keys "$email" | awk -F: '$1 == "fpr" { print $10; exit }')
fi
if [ -n "$fpr" ] && gpg --with-colons --list-secret-keys --with-keygrip "$email" | grep -q "^grp:.*:$grip:" &&
  gpg --with-colons --list-secret-keys "$email" | grep -q '^sec:[^:]*:1024:1:'
then ok; else cat genkey.out scd.log >&2 2>/dev/null || true; fail "key generation"; fi

step "git commit -S and git tag -s with that key; git verifies both"
export GIT_CONFIG_NOSYSTEM=1 HOME="$work"
git config --global user.name "$user"
git config --global user.email "$email"
git config --global user.signingkey "$fpr"
git config --global init.defaultBranch main
git init -q repo
printf 'signed by the token\n' > repo/file
if (cd repo && git add file && timeout 60 git commit -q -S -m "signed on the token" &&
  timeout 60 git tag -s -m "a signed tag" v1 &&
  git verify-commit -v HEAD > ../verify-commit.out 2>&1 &&
  git verify-tag -v v1 > ../verify-tag.out 2>&1) &&
  grep -q "Good signature from \"$user <$email>\"" verify-commit.out &&
  grep -q "Good signature from \"$user <$email>\"" verify-tag.out
then ok; else cat verify-commit.out verify-tag.out scd.log >&2 2>/dev/null || true; fail "git signatures"; fi

step "the signatures verify in a keyring holding only the exported public key"
gpg --armor --export "$fpr" > public.asc
if GNUPGHOME="$work/verifier" sh -c 'mkdir -m 700 "$GNUPGHOME" && gpg --batch --quiet --import public.asc &&
  cd repo && git verify-commit HEAD && git verify-tag v1' > verifier.out 2>&1 &&
  [ "$(grep -c 'Good signature' verifier.out)" -eq 2 ]
then ok; else cat verifier.out >&2; fail "verify with the public key only"; fi

step "a wrong PIN: gpg-agent asks three times, the card counts three tries; then the right PIN signs"
# A fresh agent and scdaemon, so that neither holds the earlier login.
gpgconf --kill all
printf '%s' 87878787 > pin.txt
: > pinentry.log
printf 'wrong PIN\n' > wrong.txt
tries_before=$(user_pin_tries)
if ! timeout 90 gpg --batch --local-user "$fpr" --detach-sign wrong.txt > wrong.out 2>&1; then refused=yes; else refused=no; fi
asked=$(grep -c GETPIN pinentry.log || true)
tries_after=$(user_pin_tries)
gpgconf --kill all
printf '%s' "$pin" > pin.txt
if [ "$refused" = yes ] && [ "$asked" -eq 3 ] && [ "$tries_after" -eq $((tries_before - 3)) ] &&
  timeout 90 gpg --batch --local-user "$fpr" --detach-sign wrong.txt > right.out 2>&1 &&
  gpg --verify wrong.txt.sig wrong.txt > /dev/null 2>&1 && [ "$(user_pin_tries)" -eq "$tries_before" ]
then
  echo "   the pinentry was asked $asked times; tries left $tries_before -> $tries_after -> $(user_pin_tries)"
  ok
else
  cat wrong.out right.out >&2 2>/dev/null || true
  fail "refused: $refused, asked $asked times, tries $tries_before -> $tries_after -> $(user_pin_tries)"
fi

step "gnupg-pkcs11-scd killed while it holds the login: the next signature logs in again and signs"
# This script's PID namespace holds only the processes it started.
scd=""
for proc in /proc/[0-9]*; do
  [ "$(readlink "$proc/exe" 2> /dev/null)" = /usr/bin/gnupg-pkcs11-scd ] && scd=${proc#/proc/} && break
done
: > pinentry.log
printf 'after the kill\n' > killed.txt
if [ -n "$scd" ] && kill -KILL "$scd" && wait_gone "$scd" &&
  timeout 90 gpg --batch --local-user "$fpr" --detach-sign killed.txt > killed.out 2>&1 &&
  gpg --verify killed.txt.sig killed.txt > /dev/null 2>&1 && [ "$(grep -c GETPIN pinentry.log)" -eq 1 ] &&
  [ "$(user_pin_tries)" -eq "$tries_before" ]
then ok; else
  cat killed.out >&2 2>/dev/null || true
  fail "scdaemon ${scd:-not found}; the pinentry was asked $(grep -c GETPIN pinentry.log) times"
fi

# The agents go before the work folder does.
gpgconf --kill all
GNUPGHOME="$work/verifier" gpgconf --kill all
finish "gnupg"
