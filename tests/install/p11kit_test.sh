#!/usr/bin/env bash
# `make install` with the default prefix, then p11-kit finds the PKCS#11
# module on its own: `p11-kit list-modules` shows it with its token.
#   p11kit_test.sh BUILD_DIR
# The installation goes into overlays over /usr/local and /etc inside a
# private mount namespace, so the machine keeps its own files. Needs root;
# as another user it is skipped (exit 77).
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "${PELU7_P11KIT_LAYERS:-}" = "" ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "the p11-kit installation check needs root for its private mount namespace; skipped" >&2
    exit 77
  fi
  for program in p11-kit pkcs11-tool ldconfig; do
    command -v "$program" >/dev/null || fail "$program is missing (make test installs it)"
  done
  layers=$(mktemp -d /tmp/pelu7-p11kit.XXXXXX)
  trap 'rm -rf "$layers"' EXIT
  PELU7_P11KIT_LAYERS=$layers timeout --kill-after=10 500 \
    unshare --mount --propagation private "$0" "$build"
  exit
fi

# Inside the mount namespace.
layers=$PELU7_P11KIT_LAYERS
mount -t tmpfs tmpfs "$layers"
for dir in /usr/local /etc; do
  name=$(basename "$dir")
  mkdir "$layers/$name.upper" "$layers/$name.work"
  mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layers/$name.upper,workdir=$layers/$name.work" "$dir" ||
    fail "no overlay over $dir"
done

# As a user types it: nothing of an outer make (make test) comes along.
env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -C "$source_dir" --no-print-directory install BUILD="$build" \
  > "$layers/install.log" 2>&1 ||
  { cat "$layers/install.log" >&2; fail "make install"; }

module=/usr/local/lib/$(gcc -print-multiarch)/pkcs11/libpelu7-pkcs11.so
[ -f "$module" ] || fail "no module at $module"
for file in /etc/pkcs11/modules/pelu7.module /usr/local/share/p11-kit/modules/pelu7.module; do
  grep -qx "module: $module" "$file" || fail "$file does not name $module"
done

# A formatted token, so that p11-kit has a token to show.
export PELU7_READERS="USB1=vtoken:$layers/token.vtoken" PELU7_PKCS11_PORTS=1
timeout 60 pkcs11-tool --module "$module" --init-token --label installed --so-pin 87654321 > "$layers/init.log" 2>&1 ||
  { cat "$layers/init.log" >&2; fail "pkcs11-tool --init-token with the installed module"; }
timeout 60 p11-kit list-modules > "$layers/modules.txt" 2>&1 || true
sed -n '/^pelu7:/,/^[^ ]/p' "$layers/modules.txt" > "$layers/pelu7.txt"
if ! grep -qx "pelu7: $module" "$layers/pelu7.txt" || ! grep -q '^ *token: installed$' "$layers/pelu7.txt"; then
  cat "$layers/modules.txt" >&2
  fail "p11-kit list-modules does not show the module with its token"
fi
echo "p11-kit lists the installed module: OK"
