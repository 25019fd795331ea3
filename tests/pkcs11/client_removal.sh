#!/usr/bin/env bash
# The token pulled out and put back, and its reader service restarted, under
# programs that stay running: a long-lived PKCS#11 program (the return codes
# it sees at each step, the slot events, and how long after the token is back
# its first signature succeeds), ssh-agent (after `ssh-add -e` and `-s`, as
# its users do), gpg-agent with gnupg-pkcs11-scd signing git commits, and
# p11-kit's server, each signing again without a restart.
# Over a private pcscd with the virtual token attached through vpcd: stopping
# `pelu7 vtoken attach` pulls the token, starting it again puts it back.
#
# usage: tests/pkcs11/client_removal.sh BUILD_DIR
#
# Runs inside private namespaces (mount, PID and network: a tmpfs on
# /run/pcscd and /dev/shm, vpcd on the namespace's own loopback). Needs root;
# as another user it is skipped (exit 77). Every wait is bounded.
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")/client_lib.sh"
enter_namespaces 280 --mount --propagation private --net -- "$0" "$build"
require_programs pcscd opensc-tool ssh-agent ssh-add ssh-keygen p11-kit pkcs11-tool ip openssl gpg gpg-agent \
  gpgconf gpg-connect-agent gnupg-pkcs11-scd git \
  "$build/bin/pkcs11_removal_probe" /usr/lib/pcsc/drivers/serial/libifdvpcd.so "$libdir/pkcs11/p11-kit-client.so"

mount -t tmpfs -o mode=0755 tmpfs /run/pcscd 2>/dev/null || { mkdir -p /run/pcscd && mount -t tmpfs -o mode=0755 tmpfs /run/pcscd; }
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
ip link set lo up
unset PCSCLITE_CSOCK_NAME
enter_workdir removal
reader="PELU7 Removal 00 00"
printf 'A message signed across a removal.\n' > msg

# --- the reader service and the token ----------------------------------------
mkdir pcsc-config
cat > pcsc-config/vpcd <<EOF
FRIENDLYNAME "PELU7 Removal"
DEVICENAME /dev/null:35963
LIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so
CHANNELID 35963
EOF
# Returns once the command succeeds (within 20 s).
wait_until() {
  for _ in $(seq 100); do
    "$@" > /dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}
card_in() { timeout 5 opensc-tool -r "$reader" -a; }
card_out() { ! card_in; }
start_pcscd() {
  pcscd --foreground --config "$work/pcsc-config" >> pcscd.log 2>&1 &
  pcscd_pid=$!
  wait_until sh -c "opensc-tool -l | grep -q '$reader'"
}
stop_pcscd() {
  kill -TERM "$pcscd_pid" 2>/dev/null || true
  wait "$pcscd_pid" 2>/dev/null || true
  wait "$attach_pid" 2>/dev/null || true  # the tool ends when vpcd goes
}
insert_token() {
  "$tool" vtoken attach "$work/token.vtoken" --vpcd-port 35963 >> attach.log 2>&1 &
  attach_pid=$!
  wait_until card_in
}
pull_token() {
  kill -TERM "$attach_pid" 2>/dev/null || true
  wait "$attach_pid" 2>/dev/null || true
  wait_until card_out
}

step "provision the token; pcscd with the token in its reader"
if provision_token removal rkey && make_ca &&
  issue_cert user.pem "/CN=PELU7 removal" pub.pem "keyUsage=critical,digitalSignature" && store_cert user.pem rkey &&
  start_pcscd && insert_token
then ok; else
  cat pcscd.log attach.log >&2 2>/dev/null || true
  fail "set-up"
  finish "removal clients"
fi
export PELU7_READERS="USB1=pcsc:$reader" PELU7_PKCS11_PORTS=1

# --- one long-lived program ---------------------------------------------------
coproc PROBE { P11_PIN="$pin" exec "$build/bin/pkcs11_removal_probe" "$module" 01 2>&1; }
# Kept apart: bash forgets PROBE once the probe has ended.
probe_in=${PROBE[1]}
probe_out=${PROBE[0]}
# Sends a command to the probe and keeps its answer in $answer (shown).
ask() {
  local line
  answer=""
  echo "$1" >&"$probe_in"
  while IFS= read -r -t 60 line <&"$probe_out"; do
    [ "$line" = DONE ] && break
    answer+="$line"$'\n'
  done
  printf '%s' "$answer" | sed 's/^/   | /'
}
# Every NAME=VALUE given is a line of the answer.
answered() {
  local pair
  for pair in "$@"; do grep -qx "$pair" <<< "$answer" || { echo "   expected $pair" >&2; return 1; }; done
}

step "program: log in and sign; no slot event yet"
ask setup
if answered initialize=0x0 slot_list=0x0 first_signature=0x0 event_baseline=0x8; then ok; else fail "setup"; fi

step "program: the token pulled out (CKR_TOKEN_NOT_PRESENT 0xe0, CKR_DEVICE_REMOVED 0x32, invalid 0xb3)"
pull_token
ask out
if answered slot_info=0x0 token_present=0 present_slots=0 open_session=0xe0 old_session_sign=0x32 \
  old_session_info=0xb3 event_removal=0x0 event_slot=0; then ok; else fail "while out"; fi

step "program: put back; the insertion event, then a new session, login and signature"
insert_token
ask back
if answered event_insertion=0x0 event_slot=0 signature=0x0; then
  echo "   first signature $(sed -n 's/^ms_to_signature=//p' <<< "$answer") ms after the token was back"
  ok
else fail "back in"; fi

step "program: pcscd restarted; the old session told, a new one signs"
stop_pcscd
start_pcscd && insert_token
ask restart
if answered old_session_sign=0x32 signature=0x0; then
  echo "   first signature $(sed -n 's/^ms_to_signature=//p' <<< "$answer") ms after the reader service was back"
  ok
else cat pcscd.log >&2; fail "pcscd restart"; fi
ask quit
if answered finalize=0x0; then :; else fail "finalize"; fi

# --- ssh-agent ----------------------------------------------------------------
printf '#!/bin/sh\necho %s\n' "$pin" > askpass
chmod 700 askpass
agent_sign() {
  rm -f msg.sig
  timeout 60 ssh-keygen -Y sign -f agent_keys.pub -n file msg > agent.out 2>&1 < /dev/null &&
    ssh-keygen -Y verify -f allowed_signers -I removal -n file -s msg.sig < msg > /dev/null
}
add_provider() {
  SSH_ASKPASS="$work/askpass" SSH_ASKPASS_REQUIRE=force DISPLAY=none timeout 60 ssh-add -s "$module" \
    < /dev/null >> agent.out 2>&1
}

step "ssh-agent: signs, then again after a pull, a put-back and ssh-add -e / -s"
eval "$(ssh-agent -s -a "$work/agent.sock" -P "$build/lib/*")" > /dev/null
if add_provider && ssh-add -L > agent_keys.pub &&
  printf 'removal %s\n' "$(cut -d' ' -f1,2 agent_keys.pub)" > allowed_signers && agent_sign &&
  pull_token && ! agent_sign && insert_token &&
  ssh-add -e "$module" >> agent.out 2>&1 && add_provider && agent_sign
then ok; else cat agent.out >&2; fail "ssh-agent"; fi
ssh-agent -k > /dev/null 2>&1 || true

# --- gpg-agent with gnupg-pkcs11-scd, and git ---------------------------------
export GNUPGHOME="$work/gnupg"
mkdir -m 700 "$GNUPGHOME"
cat > pinentry <<PINENTRY_END
#!/bin/sh
echo "OK Pleased to meet you"
while IFS= read -r line; do
  case "\$line" in
    GETPIN*) printf 'D %s\nOK\n' "$pin" ;;
    BYE*) echo OK; exit 0 ;;
    *) echo OK ;;
  esac
done
PINENTRY_END
chmod 700 pinentry
printf '%s\n' "scdaemon-program /usr/bin/gnupg-pkcs11-scd" "pinentry-program $work/pinentry" \
  > "$GNUPGHOME/gpg-agent.conf"
printf '%s\n' "providers p1" "provider-p1-library $module" "log-file $work/scd.log" \
  > "$GNUPGHOME/gnupg-pkcs11-scd.conf"
export GIT_CONFIG_NOSYSTEM=1 HOME="$work"
git_commit() {
  (cd repo && date +%s%N >> file && git add file && timeout 60 git commit -q -S -m "$1" &&
    git verify-commit HEAD) >> git.out 2>&1
}

step "gpg-agent and gnupg-pkcs11-scd: git commit -S before a pull and after the put-back"
grip=""
if timeout 60 gpg-connect-agent 'LEARN --sendinfo --force' /bye > learn.out 2>&1; then
  grip=$(sed -n 's/^S KEYPAIRINFO \([0-9A-F]\{40\}\) .*/\1/p' learn.out | head -n 1)
fi
printf '%s\n' "Key-Type: RSA" "Key-Grip: $grip" "Key-Usage: sign" "Name-Real: PELU7 removal" \
  "Name-Email: removal@pelu7.test" "Expire-Date: 0" "%no-protection" "%commit" > keyparams
fpr=""
if [ -n "$grip" ] && timeout 90 gpg --batch --gen-key keyparams > genkey.out 2>&1; then
  fpr=$(gpg --with-colons --list-secret-keys removal@pelu7.test | awk -F: '$1 == "fpr" { print $10; exit }')
fi
git config --global user.name "PELU7 removal"
git config --global user.email removal@pelu7.test
git config --global user.signingkey "$fpr"
git init -q repo
where="setting up"
if [ -n "$fpr" ] && where="before the pull" && git_commit "before the pull" &&
  where="while out" && pull_token && ! git_commit "while out" &&
  where="after the put-back" && insert_token && wait_until git_commit "after the put-back"
then ok; else
  cat learn.out genkey.out git.out scd.log >&2 2>/dev/null || true
  fail "gnupg: $where"
fi
gpgconf --kill all 2>/dev/null || true

# --- p11-kit server -------------------------------------------------------------
server_sign() {
  rm -f server.sig
  timeout 60 pkcs11-tool --module "$libdir/pkcs11/p11-kit-client.so" --login --pin "$pin" --sign --id 01 \
    -m SHA256-RSA-PKCS -i msg -o server.sig >> server.out 2>&1 &&
    openssl dgst -sha256 -verify pub.pem -signature server.sig msg > /dev/null
}

step "p11-kit server: a client signs through it before a pull and after the put-back"
mkdir -m 700 run
export XDG_RUNTIME_DIR="$work/run"  # where the server's socket goes
eval "$(p11-kit server --sh --provider "$module" "pkcs11:token=removal" 2> server.err)"
where="before the pull"
if wait_until server_sign && where="while out" && pull_token && ! server_sign &&
  where="after the put-back" && insert_token && wait_until server_sign
then ok; else
  cat server.err server.out >&2 2>/dev/null || true
  fail "p11-kit server: $where"
fi
p11-kit server --kill --sh > /dev/null 2>&1 || true

finish "removal clients"
