#!/usr/bin/env bash
# Chromium logging in to an HTTPS site with the PELU7 token: the module added
# to the user's NSS database (~/.pki/nssdb) with modutil, the certificate
# chosen by the AutoSelectCertificateForUrls policy (in a private copy of
# /etc/chromium), the PIN typed into Chromium's own "Unlock Security Device"
# window on an X display (Xvfb, xdotool). The page the site returns names
# the certificate's subject (screenshots in BUILD_DIR/screenshots/). Then the
# token is pulled from its PC/SC reader: the next request must not be served
# on the strength of the old login.
#
# usage: tests/pkcs11/client_chromium.sh BUILD_DIR
#
# Runs inside private mount, network and PID namespaces (its own pcscd, X
# display and loopback). Needs root (Chromium then runs with --no-sandbox, as
# it requires); as another user it is skipped (exit 77), as it is when
# Chromium cannot start on the machine at all.
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")/client_lib.sh"
enter_namespaces 280 --mount --propagation private --net -- "$0" "$build"
require_programs chromium Xvfb xdotool import certutil modutil pcscd opensc-tool python3 ip \
  /usr/lib/pcsc/drivers/serial/libifdvpcd.so
browser=chromium
. "$(dirname "$0")/browser_lib.sh"
require_browser chromium
browser_namespace

step "provision the token, pcscd with the token in its reader, the site, the display, the NSS database"
# The policy lives in a copy of /etc/chromium seen only in this namespace.
mkdir -p etc-chromium/policies/managed
[ -d /etc/chromium ] && cp -a /etc/chromium/. etc-chromium/
cat > etc-chromium/policies/managed/pelu7-client-cert.json <<POLICY
{"AutoSelectCertificateForUrls":
  ["{\"pattern\":\"$site\",\"filter\":{\"ISSUER\":{\"CN\":\"PELU7 test CA\"}}}"]}
POLICY
if browser_provision && start_pcsc && start_site && start_display && make_nssdb "$HOME/.pki/nssdb" &&
  mount --bind etc-chromium /etc/chromium
then ok; else
  cat pcscd.log attach.log site.err xvfb.log >&2 2>/dev/null || true
  fail "set-up"
  finish "chromium"
fi

browser_login_and_pull '^Unlock Security Device$' \
  chromium --no-sandbox --user-data-dir="$work/chromium-profile" --no-first-run --no-default-browser-check \
  --password-store=basic --disable-gpu --disable-background-networking "$site/?n=1"

finish "chromium"
