#!/usr/bin/env bash
# Real PKCS#11 clients against the PELU7 module on a file-backed virtual
# token: pkcs11-tool, p11tool (GnuTLS), ssh-keygen and an ssh login, the
# OpenSSL engine of libp11, NSS certutil, and one run over pcscd and vpcd.
#
# usage: tests/pkcs11/clients.sh BUILD_DIR
#
# Runs inside private namespaces (mount, PID and network): a tmpfs on
# /run/pcscd, /run/sshd and /dev/shm, and a network namespace with only its
# own loopback, where sshd and vpcd listen. When this script ends, the kernel
# ends every process it started. Needs root; as another user it is skipped
# (exit 77). Every wait is bounded with timeout.
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")/client_lib.sh"
enter_namespaces 280 --mount --propagation private --net -- "$0" "$build"
require_programs pkcs11-tool p11tool ssh ssh-keygen /usr/sbin/sshd certutil modutil pcscd opensc-tool ip \
  "$libdir/engines-3/pkcs11.so" /usr/lib/pcsc/drivers/serial/libifdvpcd.so

# Inside the namespaces.
mount -t tmpfs -o mode=0755 tmpfs /run/pcscd 2>/dev/null || { mkdir -p /run/pcscd && mount -t tmpfs -o mode=0755 tmpfs /run/pcscd; }
mkdir -p /run/sshd
mount -t tmpfs -o mode=0755 tmpfs /run/sshd
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
ip link set lo up
unset PCSCLITE_CSOCK_NAME

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
enter_workdir clients
token="$work/clients.vtoken"
export PELU7_READERS="USB1=vtoken:$token" PELU7_PKCS11_PORTS=1

# --- pkcs11-tool -------------------------------------------------------------
step "pkcs11-tool: initialise the token and the user PIN"
if p11 --init-token --label clients --so-pin "$so_pin" &&
  p11 --login --login-type so --so-pin "$so_pin" --init-pin --pin "$pin" &&
  p11 --list-token-slots | grep 'token label *: clients' > /dev/null; then ok; else fail "init"; fi

step "pkcs11-tool: generate a key pair"
if p11 --login --pin "$pin" --keypairgen --key-type RSA:1024 --id 01 --label k1 &&
  p11 --read-object --type pubkey --id 01 -o pub.der &&
  openssl rsa -pubin -inform DER -in pub.der -out pub.pem 2>/dev/null; then ok; else fail "keygen"; fi

printf 'A message signed by the token.\n' > msg

step "card commands per client run, counted in the trace (one key pair on the token)"
commands() {
  rm -f "$work/count.trace"
  PELU7_APDU_TRACE="$work/count.trace" timeout 60 "$@" > /dev/null 2>&1 < /dev/null || return 1
  grep -c '^> ' "$work/count.trace"
}
if list=$(commands pkcs11-tool --module "$module" --list-objects) &&
  sign=$(commands pkcs11-tool --module "$module" --login --pin "$pin" --sign --id 01 -m SHA256-RSA-PKCS \
    -i msg -o count.sig) &&
  sshlist=$(commands ssh-keygen -D "$module") &&
  echo "   --list-objects $list, --login --sign $sign, ssh-keygen -D $sshlist" &&
  [ "$list" -le 26 ] && [ "$sign" -le 30 ] && [ "$sshlist" -le 36 ]
then ok; else fail "commands: --list-objects ${list:-?} (26), --sign ${sign:-?} (30), ssh-keygen -D ${sshlist:-?} (36)"; fi

step "a long-lived signer beside programs that log in, sign and exit"
P11_PIN="$pin" "$build/bin/pkcs11_long_signer" "$module" 01 > long_signer.out 2>&1 &
signer=$!
others=0
for _ in $(seq 25); do
  p11 --login --pin "$pin" --sign --id 01 -m SHA256-RSA-PKCS -i msg -o others.sig > /dev/null 2>&1 ||
    others=$((others + 1))
done
kill -TERM "$signer" 2>/dev/null || true
if wait "$signer" && [ "$others" -eq 0 ]; then cat long_signer.out; ok; else
  cat long_signer.out >&2; fail "long-lived signer; $others of 25 pkcs11-tool runs failed"; fi

step "two pkcs11-tool signing loops side by side"
sign_loop() {
  local failures=0
  for _ in $(seq 20); do
    p11 --login --pin "$pin" --sign --id 01 -m SHA256-RSA-PKCS -i msg -o "loop$1.sig" > /dev/null 2>&1 ||
      failures=$((failures + 1))
  done
  echo "$failures" > "loop$1.failures"
}
sign_loop 1 &
first=$!
sign_loop 2
wait "$first"
if [ "$(cat loop1.failures)" = 0 ] && [ "$(cat loop2.failures)" = 0 ]; then ok; else
  fail "loops failed $(cat loop1.failures) and $(cat loop2.failures) of 20 runs"; fi
for hash in sha1 sha224 sha256 sha384 sha512; do
  mech="$(echo "$hash" | tr a-z A-Z)-RSA-PKCS"
  step "pkcs11-tool: sign with $mech, openssl verifies"
  if p11 --login --pin "$pin" --sign --id 01 -m "$mech" -i msg -o "sig.$hash" &&
    openssl dgst "-$hash" -verify pub.pem -signature "sig.$hash" msg; then ok; else fail "$mech"; fi
done
for hash in sha1 sha224 sha256 sha384; do
  mech="$(echo "$hash" | tr a-z A-Z)-RSA-PKCS-PSS"
  step "pkcs11-tool: sign with $mech, openssl verifies"
  if p11 --login --pin "$pin" --sign --id 01 -m "$mech" -i msg -o "pss.$hash" &&
    openssl dgst "-$hash" -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:-1 -verify pub.pem \
      -signature "pss.$hash" msg; then ok; else fail "$mech"; fi
done

step "pkcs11-tool: RSA-PKCS and RSA-X-509 signatures recover with openssl"
head -c 127 /dev/urandom > raw.tail
{ printf '\000'; cat raw.tail; } > raw.block
if p11 --login --pin "$pin" --sign --id 01 -m RSA-PKCS -i msg -o sig.pkcs &&
  openssl pkeyutl -verifyrecover -pubin -inkey pub.pem -in sig.pkcs -out rec.pkcs && cmp -s rec.pkcs msg &&
  p11 --login --pin "$pin" --sign --id 01 -m RSA-X-509 -i raw.block -o sig.raw &&
  openssl pkeyutl -verifyrecover -pubin -inkey pub.pem -pkeyopt rsa_padding_mode:none -in sig.raw -out rec.raw &&
  cmp -s rec.raw raw.block; then ok; else fail "raw signatures"; fi

step "pkcs11-tool: decrypt what openssl encrypted"
printf 'session key' > secret
if openssl pkeyutl -encrypt -pubin -inkey pub.pem -in secret -out secret.enc &&
  p11 --login --pin "$pin" --decrypt --id 01 -m RSA-PKCS -i secret.enc -o secret.dec && cmp -s secret secret.dec
then ok; else fail "decrypt"; fi

step "pkcs11-tool: certificate and data objects"
openssl req -new -x509 -newkey rsa:1024 -nodes -keyout soft.key -subj /CN=stored -days 2 -outform DER \
  -out cert.der 2>/dev/null
printf 'private data' > data.bin
if p11 --login --pin "$pin" --write-object cert.der --type cert --id 0a --label c1 &&
  p11 --read-object --type cert --id 0a -o cert.back && cmp -s cert.der cert.back &&
  p11 --login --pin "$pin" --write-object data.bin --type data --label d1 --private &&
  ! p11 --read-object --type data --label d1 -o data.nologin 2>/dev/null &&
  p11 --login --pin "$pin" --read-object --type data --label d1 -o data.back && cmp -s data.bin data.back &&
  p11 --login --pin "$pin" --delete-object --type data --label d1 &&
  ! p11 --login --pin "$pin" --read-object --type data --label d1 -o data.gone 2>/dev/null
then ok; else fail "objects"; fi

step "pkcs11-tool --test"
if p11 --login --pin "$pin" --test > test.out 2>&1 && grep -q 'No errors' test.out; then ok; else
  cat test.out >&2; fail "--test"; fi

step "pkcs11-tool --test-fork"
if p11 --test-fork > fork.out 2>&1; then ok; else cat fork.out >&2; fail "--test-fork"; fi

# --- GnuTLS p11tool ----------------------------------------------------------
step "p11tool: list, test-sign, write and export a certificate"
export GNUTLS_PIN="$pin"
url="pkcs11:token=clients"
openssl x509 -inform DER -in cert.der -out cert.pem
if timeout 60 p11tool --provider "$module" --list-tokens | grep 'Label: clients' > /dev/null &&
  timeout 60 p11tool --provider "$module" --login --list-privkeys "$url" | grep 'Label: k1' > /dev/null &&
  timeout 60 p11tool --provider "$module" --login --test-sign "$url;id=%01;type=private" > p11tool.sign 2>&1 &&
  timeout 60 p11tool --provider "$module" --login --write --load-certificate cert.pem --label pc --id 0b "$url" &&
  timeout 60 p11tool --provider "$module" --export "$url;id=%0b;type=cert" > exported.pem &&
  openssl x509 -in exported.pem -outform DER | cmp -s - cert.der
then ok; else cat p11tool.sign >&2 2>/dev/null || true; fail "p11tool"; fi

# --- ssh ---------------------------------------------------------------------
step "ssh-keygen -D lists the token's key"
if timeout 60 ssh-keygen -D "$module" > token_keys.pub && grep -q '^ssh-rsa .* k1$' token_keys.pub; then ok; else
  fail "ssh-keygen -D"; fi

step "ssh login to sshd on 127.0.0.1 with the token's key (ssh -I)"
ssh-keygen -q -t ed25519 -N '' -f host_key
cat > sshd_config <<EOF
Port 2222
ListenAddress 127.0.0.1
HostKey $work/host_key
AuthorizedKeysFile $work/token_keys.pub
PidFile $work/sshd.pid
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PubkeyAuthentication yes
PermitRootLogin prohibit-password
EOF
printf '#!/bin/sh\necho %s\n' "$pin" > askpass
chmod 700 askpass
/usr/sbin/sshd -D -f "$work/sshd_config" -E "$work/sshd.log" &
sshd_pid=$!
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/2222) 2>/dev/null && break
  sleep 0.2
done
if SSH_ASKPASS="$work/askpass" SSH_ASKPASS_REQUIRE=force DISPLAY=none timeout 60 \
  ssh -F none -I "$module" -p 2222 -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
  -o PasswordAuthentication=no root@127.0.0.1 'echo LOGGED-IN-AS $(id -un) via token' </dev/null > ssh.out 2>ssh.err &&
  grep -q 'LOGGED-IN-AS root via token' ssh.out
then ok; else cat ssh.err "$work/sshd.log" >&2 2>/dev/null || true; fail "ssh login"; fi
kill "$sshd_pid" 2>/dev/null || true

step "ssh-agent holds the token's key: ssh-keygen -Y sign and verify"
eval "$(ssh-agent -s -a "$work/agent.sock" -P "$build/lib/*")" > /dev/null
printf 'signed through the agent\n' > agent.msg
if SSH_ASKPASS="$work/askpass" SSH_ASKPASS_REQUIRE=force DISPLAY=none timeout 60 ssh-add -s "$module" \
  </dev/null > agent.out 2>&1 &&
  ssh-add -L > agent_keys.pub && grep -q '^ssh-rsa ' agent_keys.pub &&
  timeout 60 ssh-keygen -Y sign -f agent_keys.pub -n file agent.msg > agent.out 2>&1 &&
  printf 'clients %s\n' "$(cut -d' ' -f1,2 agent_keys.pub)" > allowed_signers &&
  ssh-keygen -Y verify -f allowed_signers -I clients -n file -s agent.msg.sig < agent.msg > /dev/null
then ok; else cat agent.out >&2; fail "ssh-agent"; fi

step "ssh-agent keeps signing beside a pkcs11-tool loop"
sign_loop 3 &
loop=$!
agent_failures=0
for _ in $(seq 15); do
  rm -f agent.msg.sig
  timeout 60 ssh-keygen -Y sign -f agent_keys.pub -n file agent.msg > /dev/null 2>&1 < /dev/null ||
    agent_failures=$((agent_failures + 1))
done
wait "$loop"
if [ "$agent_failures" -eq 0 ] && [ "$(cat loop3.failures)" = 0 ]; then ok; else
  fail "agent refused $agent_failures of 15, the loop failed $(cat loop3.failures) of 20"; fi
ssh-agent -k > /dev/null 2>&1 || true

# --- OpenSSL engine (libp11) -------------------------------------------------
step "openssl engine: a self-signed certificate that openssl verify accepts"
cat > engine.cnf <<EOF
openssl_conf = openssl_init
[openssl_init]
engines = engine_section
[engine_section]
pkcs11 = pkcs11_section
[pkcs11_section]
engine_id = pkcs11
dynamic_path = $libdir/engines-3/pkcs11.so
MODULE_PATH = $module
init = 0
EOF
if OPENSSL_CONF="$work/engine.cnf" timeout 60 openssl req -new -x509 -days 2 -subj /CN=engine-on-token \
  -engine pkcs11 -keyform engine -key "pkcs11:token=clients;id=%01;type=private;pin-value=$pin" \
  -out engine.pem 2>engine.err &&
  openssl verify -CAfile engine.pem engine.pem | grep ': OK$' > /dev/null
then ok; else cat engine.err >&2; fail "engine"; fi

# --- NSS ---------------------------------------------------------------------
step "NSS certutil: generate a key on the token and self-sign"
mkdir nssdb
printf '%s\n' "$pin" > nss.pin
head -c 64 /dev/urandom > noise
if certutil -N -d sql:nssdb --empty-password &&
  timeout 60 modutil -dbdir sql:nssdb -add pelu7 -libfile "$module" -force > /dev/null &&
  timeout 60 certutil -S -d sql:nssdb -h clients -f nss.pin -z noise -k rsa -g 1024 -s CN=nss-on-token \
    -n nsscert -x -t ",," > nss.out 2>&1 &&
  timeout 60 certutil -L -d sql:nssdb -h clients -f nss.pin -n clients:nsscert -a > nss.pem &&
  openssl verify -CAfile nss.pem nss.pem | grep ': OK$' > /dev/null
then ok; else cat nss.out >&2 2>/dev/null || true; fail "NSS"; fi

# --- p11-kit -----------------------------------------------------------------
step "p11-kit: the shipped module file registers the module"
# The private mount namespace shows the build's libraries at p11-kit's module
# path and only the shipped pelu7.module among the module files.
mkdir -p /usr/share/p11-kit/modules $libdir/pkcs11
mount -t tmpfs tmpfs /usr/share/p11-kit/modules
cp "$source_dir/src/pkcs11/pelu7.module" /usr/share/p11-kit/modules/
mount --bind "$build/lib" $libdir/pkcs11
if timeout 60 p11-kit list-modules > p11kit.out 2>&1 && grep -q 'token: clients' p11kit.out &&
  timeout 60 p11tool --list-tokens 2>/dev/null | grep 'Label: clients' > /dev/null
then ok; else cat p11kit.out >&2; fail "p11-kit"; fi

# --- PC/SC -------------------------------------------------------------------
step "over pcscd and vpcd: sign, verify, --test-fork"
mkdir pcsc-config
cat > pcsc-config/vpcd <<EOF
FRIENDLYNAME "PELU7 Clients"
DEVICENAME /dev/null:35963
LIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so
CHANNELID 35963
EOF
pcscd --foreground --config "$work/pcsc-config" > pcscd.log 2>&1 &
for _ in $(seq 50); do
  [ -S /run/pcscd/pcscd.comm ] && opensc-tool -l 2>/dev/null | grep 'PELU7 Clients 00 00' > /dev/null && break
  sleep 0.2
done
"$tool" vtoken attach "$token" --vpcd-port 35963 > attach.log 2>&1 &
for _ in $(seq 50); do
  timeout 5 opensc-tool -r 'PELU7 Clients 00 00' -a > /dev/null 2>&1 && break
  sleep 0.2
done
if PELU7_READERS="USB1=pcsc:PELU7 Clients 00 00" p11 --login --pin "$pin" --sign --id 01 -m SHA256-RSA-PKCS \
  -i msg -o sig.pcsc && openssl dgst -sha256 -verify pub.pem -signature sig.pcsc msg &&
  PELU7_READERS="USB1=pcsc:PELU7 Clients 00 00" p11 --test-fork > pcsc-fork.out 2>&1
then ok; else cat pcscd.log attach.log pcsc-fork.out >&2 2>/dev/null || true; fail "PC/SC"; fi

finish "pkcs11 clients"
