# shellcheck shell=bash
# Shared by the client scripts of this folder (sourced, not run): the step
# counters, a file-backed token with a user key pair and a certificate from a
# throwaway CA, and the re-run of a script inside private namespaces.
#
# The sourcing script sets `build` (the build folder) first.

: "${build:?the sourcing script sets build}"
# shellcheck disable=SC2034 # used by the sourcing scripts
libdir=/usr/lib/$(gcc -print-multiarch)
module="$build/lib/libpelu7-pkcs11.so"
tool="$build/bin/pelu7"
so_pin=87654321
pin=12345678
unset PELU7_APDU_TRACE PELU7_APDU_TRACE_SECRETS OPENSSL_CONF

passed=0
failed=0
current=""
step() {
  current="$1"
  echo "== $current"
}
ok() {
  passed=$((passed + 1))
  echo "   ok: $current"
}
fail() {
  failed=$((failed + 1))
  echo "   FAILED: $current: $*" >&2
}
# Prints the closing count; the exit status says whether every step passed.
finish() {
  echo
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
p11() { timeout 60 pkcs11-tool --module "$module" "$@"; }

# Exits 1 naming every program of "$@" that is not installed.
require_programs() {
  local missing="" program
  for program in "$@"; do
    command -v "$program" >/dev/null 2>&1 || [ -e "$program" ] || missing="$missing $program"
  done
  if [ -n "$missing" ]; then
    echo "missing programs:$missing (make test installs them)" >&2
    exit 1
  fi
}

# Runs the calling script again, within SECONDS, inside new namespaces (the
# unshare options given after SECONDS; a new PID namespace always, so that
# the kernel ends every process the run started). As another user than root
# the script is skipped (exit 77). Returns only inside the namespaces.
#   enter_namespaces SECONDS UNSHARE_OPTION... -- SCRIPT ARG...
enter_namespaces() {
  [ "${PELU7_CLIENT_INSIDE:-}" = 1 ] && return 0
  local seconds=$1 options=()
  shift
  while [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  shift
  if [ "$(id -u)" != 0 ]; then
    echo "$(basename "$1") needs root for its private namespaces; skipped" >&2
    exit 77
  fi
  export PELU7_CLIENT_INSIDE=1
  exec timeout --kill-after=10 "$seconds" unshare "${options[@]}" --pid --fork --mount-proc --kill-child "$@"
}

# A scratch folder that goes away with the script; the script works in it.
enter_workdir() {
  work=$(mktemp -d "/tmp/pelu7-$1.XXXXXX")
  chmod 755 "$work"
  trap 'rm -rf "$work"' EXIT
  cd "$work" || exit 1
  # The module's view kept between programs goes with the scratch folder.
  export XDG_CACHE_HOME="$work/cache"
}

# A formatted token in "$work/token.vtoken" with the user PIN set and one
# RSA key pair, id 01 and label KEY_LABEL; its public key in pub.pem. What
# pkcs11-tool says goes to provision.log, shown when a step fails.
#   provision_token TOKEN_LABEL KEY_LABEL
provision_token() {
  export PELU7_READERS="USB1=vtoken:$work/token.vtoken" PELU7_PKCS11_PORTS=1
  if p11 --init-token --label "$1" --so-pin "$so_pin" &&
    p11 --login --login-type so --so-pin "$so_pin" --init-pin --pin "$pin" &&
    p11 --login --pin "$pin" --keypairgen --key-type RSA:1024 --id 01 --label "$2" &&
    p11 --read-object --type pubkey --id 01 -o pub.der &&
    openssl rsa -pubin -inform DER -in pub.der -out pub.pem
  then return 0; fi >> provision.log 2>&1
  cat provision.log >&2
  return 1
}

# A throwaway certification authority: ca.key, ca.pem.
make_ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -subj "/CN=PELU7 test CA" -days 2 \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -out ca.pem 2>/dev/null
}

# A certificate from the CA for the public key PUBKEY_PEM (the key stays
# where it is: the request is only the carrier of the subject).
#   issue_cert OUT_PEM SUBJECT PUBKEY_PEM [EXTENSION_LINE...]
issue_cert() {
  local out=$1 subject=$2 pubkey=$3
  shift 3
  printf '%s\n' "[ext]" "basicConstraints=CA:FALSE" "subjectKeyIdentifier=hash" \
    "authorityKeyIdentifier=keyid" "$@" > "$out.ext"
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout /dev/null -subj "$subject" \
    -out "$out.csr" 2>/dev/null &&
    openssl x509 -req -in "$out.csr" -force_pubkey "$pubkey" -CA ca.pem -CAkey ca.key \
      -set_serial "0x$(openssl rand -hex 8)" -days 2 -sha256 -extfile "$out.ext" -extensions ext \
      -out "$out" 2>/dev/null
}

# Stores the certificate CERT_PEM on the token beside the key pair id 01.
#   store_cert CERT_PEM LABEL
store_cert() {
  if openssl x509 -in "$1" -outform DER -out "$1.der" &&
    p11 --login --pin "$pin" --write-object "$1.der" --type cert --id 01 --label "$2"
  then return 0; fi >> provision.log 2>&1
  cat provision.log >&2
  return 1
}

# Tries left of the user PIN (key object 01) as the virtual token file
# records them.
user_pin_tries() {
  "$tool" vtoken show "$work/token.vtoken" | sed -n 's/^ *01  PIN .* \([0-9]*\) of [0-9]* tries left$/\1/p'
}
