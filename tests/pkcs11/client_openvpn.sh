#!/usr/bin/env bash
# OpenVPN with the PELU7 token: a client that authenticates with the token's
# key (--pkcs11-providers and --pkcs11-id, the id as openvpn --show-pkcs11-ids
# prints it) to an OpenVPN server on 127.0.0.1; certificates from a
# throwaway CA. The PIN goes in through the client's management interface,
# as a front end gives it. The tunnel must come up on both ends.
#
# usage: tests/pkcs11/client_openvpn.sh BUILD_DIR
#
# Runs inside private network and PID namespaces: only their own loopback and
# tun devices, and the kernel ends every process the run started. Needs root;
# as another user it is skipped (exit 77).
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")/client_lib.sh"
enter_namespaces 240 --net -- "$0" "$build"
require_programs openvpn pkcs11-tool openssl ip
enter_workdir openvpn
ip link set lo up
# A machine (a container) without the tun device node gets one in this
# mount namespace only.
if [ ! -c /dev/net/tun ]; then
  mkdir -p /dev/net
  mount -t tmpfs -o mode=0755 tmpfs /dev/net
  mknod -m 0600 /dev/net/tun c 10 200
fi
port=1194
management=7505

step "provision: the client's key pair on the token, the server's key in software, one CA"
if provision_token vpn client && make_ca &&
  issue_cert client.pem "/CN=pelu7-vpn-client" pub.pem "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=clientAuth" &&
  store_cert client.pem client &&
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out server.key 2>/dev/null &&
  openssl pkey -in server.key -pubout -out server.pub &&
  issue_cert server.pem "/CN=pelu7-vpn-server" server.pub "keyUsage=critical,digitalSignature,keyEncipherment" \
    "extendedKeyUsage=serverAuth"
then ok; else
  fail "provisioning"
  finish "openvpn client"
fi

step "openvpn --show-pkcs11-ids lists the token's certificate"
id=""
if timeout 60 openvpn --show-pkcs11-ids "$module" > ids.out 2>&1; then
  id=$(sed -n 's/^ *Serialized id: *//p' ids.out | head -n 1)
fi
if [ -n "$id" ] && grep -q 'DN: *CN=pelu7-vpn-client$' ids.out; then ok; else
  cat ids.out >&2; fail "--show-pkcs11-ids"; fi

step "the client authenticates with the token's key; the tunnel comes up on both ends"
cat > server.conf <<EOF
mode server
tls-server
dev tun
proto udp
local 127.0.0.1
port $port
topology subnet
server 10.77.0.0 255.255.255.0
ca $work/ca.pem
cert $work/server.pem
key $work/server.key
dh none
remote-cert-tls client
status $work/server.status 1
status-version 2
verb 3
EOF
cat > client.conf <<EOF
client
dev tun
proto udp
remote 127.0.0.1 $port
nobind
ca $work/ca.pem
remote-cert-tls server
pkcs11-providers $module
management 127.0.0.1 $management
management-query-passwords
management-hold
verb 3
EOF
timeout 120 openvpn --config server.conf --log server.log &
timeout 120 openvpn --config client.conf --pkcs11-id "$id" --log client.log &
# The management dialogue: switch state messages on, release the hold, give
# the token's PIN when asked, wait for CONNECTED. The waits below are bounds
# for a loaded machine (30 s each), not expectations of speed.
state=""
if [ -n "$id" ] && for _ in $(seq 150); do
  (exec 3<>/dev/tcp/127.0.0.1/$management) 2>/dev/null && break
  sleep 0.2
done && exec 3<>/dev/tcp/127.0.0.1/$management; then
  printf 'state on\nhold release\n' >&3
  while IFS= read -r -t 60 line <&3; do
    line=${line%$'\r'}
    echo "$line" >> management.log
    case "$line" in
      ">PASSWORD:Need '"*"' password"*)
        name=${line#*\'}
        name=${name%%\'*}
        printf 'password "%s" %s\n' "$name" "$pin" >&3
        ;;
      ">STATE:"*",CONNECTED,SUCCESS"*)
        state=connected
        break
        ;;
      ">FATAL:"* | ">STATE:"*",EXITING,"*) break ;;
    esac
  done
  exec 3>&-
fi
# The server lists the client by its certificate's name with the address it
# gave it once the connection is complete.
for _ in $(seq 150); do
  grep -q '^CLIENT_LIST,pelu7-vpn-client,127.0.0.1:[0-9]*,10\.77\.0\.2,' server.status 2>/dev/null && break
  sleep 0.2
done
if [ "$state" = connected ] && grep -q 'Initialization Sequence Completed' client.log &&
  grep -q '^CLIENT_LIST,pelu7-vpn-client,127.0.0.1:[0-9]*,10\.77\.0\.2,' server.status &&
  ip -o addr show | grep 'inet 10\.77\.0\.2/24' > /dev/null
then ok; else
  cat management.log client.log server.log >&2 2>/dev/null || true
  fail "tunnel"
fi

finish "openvpn client"
