#!/bin/sh
# demo_build.sh BUILD_DIR: what `make demo` does before the demonstration,
# told on the terminal in a few lines: the Debian packages, then the build
# of the tool, the libraries it loads and the PKCS#11 module, with a progress figure. Everything
# the steps print goes to BUILD_DIR/demo-build.log, shown when a step fails.
set -u
build=${1:-build}
mkdir -p "$build"
log="$build/demo-build.log"
: >"$log"

failed() {
  echo "demo: $1 failed; the log follows ($log)" >&2
  cat "$log" >&2
  exit 1
}

echo "demo: checking the Debian packages the build needs (installed when missing, as root)"
make --no-print-directory deps >>"$log" 2>&1 || failed "installing packages"

echo "demo: configuring and building the tool, the libraries and the PKCS#11 module (log: $log)"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" >>"$log" 2>&1 || failed "configuring"
fi
# cmake prints "[ NN%]" before each step; show the figure every tenth.
status=$( { cmake --build "$build" -j "${JOBS:-$(nproc)}" --target pelu7 pelu7_pkcs11 2>&1; echo "exit $?"; } |
  tee -a "$log" |
  awk '/^\[ *[0-9]+%\]/ { p = substr($0, 2) + 0; if (p >= shown + 10) { printf "demo:   %d%% built\n", p > "/dev/stderr"; shown = p - p % 10 } }
       /^exit / { print $2 }')
[ "$status" = 0 ] || failed "building"
echo "demo: built; the demonstration follows"
