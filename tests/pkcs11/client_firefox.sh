#!/usr/bin/env bash
# Firefox ESR logging in to an HTTPS site with the PELU7 token: the module
# added to the profile's NSS database with modutil (as Firefox's users add a
# security device), the certificate chosen automatically, the PIN typed into
# Firefox's own "Password Required" window on an X display (Xvfb, xdotool).
# The page the site returns names the certificate's subject (screenshots in
# BUILD_DIR/screenshots/). Then the token is pulled from its PC/SC reader:
# the next request must not be served on the strength of the old login.
#
# usage: tests/pkcs11/client_firefox.sh BUILD_DIR
#
# Runs inside private mount, network and PID namespaces (its own pcscd, X
# display and loopback). Needs root; as another user it is skipped (exit 77),
# as it is when Firefox cannot start on the machine at all.
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")/client_lib.sh"
enter_namespaces 280 --mount --propagation private --net -- "$0" "$build"
require_programs firefox-esr Xvfb xdotool import certutil modutil pcscd opensc-tool python3 ip \
  /usr/lib/pcsc/drivers/serial/libifdvpcd.so
browser=firefox
. "$(dirname "$0")/browser_lib.sh"
require_browser firefox-esr
browser_namespace

step "provision the token, pcscd with the token in its reader, the site, the display, the profile"
profile="$work/profile"
if browser_provision && start_pcsc && start_site && start_display && make_nssdb "$profile"; then
  cat > "$profile/user.js" <<PREFS
user_pref("security.default_personal_cert", "Select Automatically");
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("browser.urlbar.autoFill", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("security.OCSP.enabled", 0);
PREFS
  ok
else
  cat pcscd.log attach.log site.err xvfb.log >&2 2>/dev/null || true
  fail "set-up"
  finish "firefox"
fi

browser_login_and_pull '^Password Required - Mozilla Firefox$' \
  firefox-esr --no-remote --profile "$profile" "$site/?n=1"

finish "firefox"
