# shellcheck shell=bash
# Shared by the browser scripts of this folder (sourced after client_lib.sh,
# inside the private namespaces): the token in a PC/SC reader (pcscd and vpcd,
# so that it can be pulled out), the HTTPS site that logs visitors in by their
# client certificate, an X display (Xvfb) with the browser's windows driven
# by xdotool, an NSS database with the module and the test CA, screenshots.
#
# The sourcing script has entered mount, network and PID namespaces and set
# `browser` (the name used for the work folder and the screenshots).

: "${browser:?the sourcing script sets browser}"
browser_lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
reader="PELU7 Browser 00 00"
vpcd_port=35964
port=8443
subject="CN=PELU7 browser user"
site="https://127.0.0.1:$port"
shots="$build/screenshots"

# Exits 77 with the browser's own words when its program cannot start here at
# all (the one reason to skip); every later failure is a failure.
#   require_browser PROGRAM
require_browser() {
  if ! out=$(timeout 60 "$1" --version 2>&1); then
    echo "$1 cannot start on this machine; skipped: $out" >&2
    exit 77
  fi
  echo "   $out"
}

# Private /run/pcscd, /dev/shm and X socket folder, the namespace's loopback;
# a fresh work folder.
browser_namespace() {
  mkdir -p /run/pcscd /tmp/.X11-unix
  mount -t tmpfs -o mode=0755 tmpfs /run/pcscd
  mount -t tmpfs -o mode=1777 tmpfs /dev/shm
  mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix
  ip link set lo up
  unset PCSCLITE_CSOCK_NAME
  enter_workdir "$browser"
  export HOME="$work"
  mkdir -p "$shots"
}

# Waits up to SECONDS for WHAT (a command) to succeed; 0.2 s between tries.
#   wait_until SECONDS COMMAND...
wait_until() {
  local seconds=$1 i
  shift
  for ((i = 0; i < seconds * 5; i++)); do
    "$@" > /dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}

# The token with a client certificate for its key, a server certificate in
# software for 127.0.0.1, both from one CA.
browser_provision() {
  provision_token browser webkey && make_ca &&
    issue_cert user.pem "/$subject" pub.pem "keyUsage=critical,digitalSignature" \
      "extendedKeyUsage=clientAuth" &&
    store_cert user.pem webkey &&
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out server.key 2>/dev/null &&
    openssl pkey -in server.key -pubout -out server.pub &&
    issue_cert server.pem "/CN=127.0.0.1" server.pub "keyUsage=critical,digitalSignature,keyEncipherment" \
      "extendedKeyUsage=serverAuth" "subjectAltName=IP:127.0.0.1"
}

# Whether the card's user PIN has N tries left.
#   tries_left_are N
tries_left_are() { [ "$(user_pin_tries)" = "$1" ]; }

card_in_reader() { timeout 5 opensc-tool -r "$reader" -a; }

# pcscd with a vpcd reader, the token attached to it; the module then reaches
# the token through PC/SC only.
start_pcsc() {
  mkdir pcsc-config
  printf '%s\n' 'FRIENDLYNAME "PELU7 Browser"' "DEVICENAME /dev/null:$vpcd_port" \
    "LIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so" "CHANNELID $vpcd_port" > pcsc-config/vpcd
  pcscd --foreground --config "$work/pcsc-config" > pcscd.log 2>&1 &
  wait_until 30 sh -c "opensc-tool -l | grep -q '$reader'" || return 1
  "$tool" vtoken attach "$work/token.vtoken" --vpcd-port "$vpcd_port" > attach.log 2>&1 &
  attach_pid=$!
  wait_until 30 card_in_reader || return 1
  export PELU7_READERS="USB1=pcsc:$reader" PELU7_PKCS11_PORTS=1
}

# Takes the token out of its reader: the attaching process ends, as a user
# pulls a token; returns once pcscd sees the reader empty.
pull_token() {
  kill -TERM "$attach_pid" && wait "$attach_pid" || true
  wait_until 30 sh -c "! opensc-tool -r '$reader' -a"
}

start_site() {
  python3 "$browser_lib_dir/client_cert_server.py" "$port" server.pem server.key ca.pem "$work/site.log" \
    > site.err 2>&1 &
  wait_until 30 grep -q '^ready ' site.log
}

# Xvfb on a free display; DISPLAY exported once it answers. No lock file:
# /tmp is the machine's, while the display's sockets are this namespace's
# own.
start_display() {
  exec {display_fd}> display.txt
  Xvfb -displayfd "$display_fd" -nolock -screen 0 1280x900x24 -nolisten tcp > xvfb.log 2>&1 &
  wait_until 30 grep -q '[0-9]' display.txt || return 1
  exec {display_fd}>&-
  export DISPLAY=":$(head -n 1 display.txt)"
  wait_until 30 xdotool getdisplaygeometry
}

# An NSS database in DIR holding the module (as a user adds it with modutil)
# and the test CA trusted for web sites.
#   make_nssdb DIR
make_nssdb() {
  mkdir -p "$1"
  certutil -N -d "sql:$1" --empty-password &&
    timeout 60 modutil -dbdir "sql:$1" -add pelu7 -libfile "$module" -force > /dev/null &&
    certutil -A -d "sql:$1" -n "PELU7 test CA" -t "C,," -i ca.pem
}

# The id of the first visible window whose name matches REGEX, within
# SECONDS; nothing (status 1) when none came.
#   find_window REGEX SECONDS
find_window() {
  local window=""
  if wait_until "$2" xdotool search --onlyvisible --name "$1"; then
    window=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
  fi
  [ -n "$window" ] && echo "$window"
}

# Types TEXT into the window WINDOW, then takes the screenshot SHOT (what
# the user sees before pressing Return), then presses Return.
#   type_into WINDOW TEXT SHOT
type_into() {
  xdotool windowfocus --sync "$1" &&
    xdotool type --delay 30 "$2" &&
    screenshot "$3" &&
    xdotool key Return
}

# Follows the page's link to the next request in the browser window WINDOW:
# a click in the lower part of the page, which the link fills, as a user
# clicks it (pointer events reach the window under the pointer, with or
# without a window manager).
#   click_next WINDOW
click_next() {
  local height
  height=$(xdotool getwindowgeometry "$1" | sed -n 's/^ *Geometry: [0-9]*x\([0-9]*\)$/\1/p')
  xdotool mousemove --window "$1" 300 $((height * 9 / 10)) click 1
}

# A PNG of the whole screen in the build tree's screenshots/ folder, once
# the browser has drawn something (more than two colours on the screen) and,
# given an earlier screenshot, once the page differs from that one's; within
# 10 s, else the screen as it is.
#   screenshot NAME [EARLIER_NAME]
screenshot() {
  local file="$shots/$browser-$1.png" earlier="${2:+$shots/$browser-$2.png}" page=1000x300+0+100
  for _ in $(seq 50); do
    import -display "$DISPLAY" -window root "$file" 2> /dev/null || return 1
    if [ "$(convert "$file" -format %k info: 2> /dev/null || echo 0)" -gt 2 ] &&
      { [ -z "$earlier" ] || ! compare -metric AE "$file[$page]" "$earlier[$page]" null: 2> /dev/null; }
    then break; fi
    sleep 0.2
  done
  echo "   screenshot: $file"
}

# The whole run with the browser: PROGRAM ARG... starts it (the URL of
# request 1 is the last argument); PROMPT is the name of its PIN window.
#   browser_login_and_pull PROMPT PROGRAM ARG...
browser_login_and_pull() {
  local prompt=$1 window="" main=""
  shift

  step "$browser asks for the PIN in its own window; a wrong PIN costs one try and brings the prompt back"
  "$@" > "$browser.log" 2>&1 &
  browser_pid=$!
  local tries again=""
  tries=$(user_pin_tries)
  # The card counts the wrong PIN once the prompt has gone; the prompt that
  # then shows is the browser's second (Firefox shows the same window again).
  if window=$(find_window "$prompt" 120) && type_into "$window" 11223344 wrong-pin &&
    wait_until 60 tries_left_are $((tries - 1)) &&
    again=$(find_window "$prompt" 60)
  then
    echo "   tries left $tries -> $(user_pin_tries), the prompt is back"
    ok
  else
    screenshot no-prompt || true
    tail -n 30 "$browser.log" >&2
    fail "no PIN prompt named '$prompt' again after a wrong PIN (tries left $tries -> $(user_pin_tries))"
  fi

  step "$browser: the right PIN typed into the prompt; the card's tries are full again"
  if [ -n "$again" ] && type_into "$again" "$pin" pin-prompt &&
    wait_until 60 tries_left_are "$tries"; then ok; else
    fail "tries left $(user_pin_tries) of $tries"; fi

  step "$browser shows the page the site serves after the certificate login: it names the subject"
  if main=$(find_window "Logged in as $subject #1" 90) &&
    grep -q "^served /?n=1 to $subject\$" site.log && screenshot logged-in; then ok; else
    screenshot not-logged-in || true
    cat site.log >&2
    tail -n 30 "$browser.log" >&2
    fail "no page naming $subject"
  fi

  step "token pulled: the next request does not log in on the strength of the old login"
  local mark outcome=""
  mark=$(wc -l < site.log)
  if [ -n "$main" ] && pull_token && click_next "$main"; then
    # Waits for one of three events: the site served request 2 (the old login
    # was used), or the browser asked for a PIN again, or the site refused a
    # handshake and the browser no longer shows a logged-in page.
    for _ in $(seq 450); do
      if tail -n "+$((mark + 1))" site.log | grep -q '^served /?n=2 '; then
        outcome=served
        break
      fi
      if xdotool search --onlyvisible --name "$prompt" > /dev/null 2>&1; then
        outcome=prompt
        break
      fi
      if tail -n "+$((mark + 1))" site.log | grep -q '^refused: ' &&
        ! xdotool search --onlyvisible --name "Logged in as" > /dev/null 2>&1; then
        outcome=refused
        break
      fi
      sleep 0.2
    done
  fi
  screenshot after-pull logged-in || true
  case "$outcome" in
    refused)
      echo "   the site refused the handshake: $(tail -n "+$((mark + 1))" site.log | grep -m 1 '^refused: ')"
      echo "   the browser shows: $(xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null | head -n 3 | tr '\n' '|')"
      ok
      ;;
    prompt)
      echo "   the browser asks for the token's PIN again"
      ok
      ;;
    served)
      cat site.log >&2
      fail "request 2 was served to the old login after the token was pulled"
      ;;
    *)
      cat site.log attach.log >&2 2>/dev/null || true
      tail -n 30 "$browser.log" >&2
      fail "neither a refused handshake nor a PIN prompt after the pull (window: $(xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null | head -n 3 | tr '\n' '|'))"
      ;;
  esac
  # The browser goes before its work folder does.
  kill -TERM "$browser_pid" 2>/dev/null || true
  wait_until 30 sh -c "! grep -qs '^State:.*[RSD]' /proc/$browser_pid/status"
  wait "$browser_pid" 2>/dev/null || true
}
