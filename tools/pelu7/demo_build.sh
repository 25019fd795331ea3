#!/bin/sh
# demo_build.sh BUILD_DIR: what `make demo` does before the demonstration,
# told on the terminal as it goes: the Debian packages (named, with apt's
# download and set-up lines), then the build of the tool, the libraries it
# loads and the PKCS#11 module, with a progress figure over all of it. A line
# every 10 s says a quiet step still runs. Everything the steps print goes to
# BUILD_DIR/demo-build.log, shown when a step fails.
set -u
build=${1:-build}
mkdir -p "$build"
log="$build/demo-build.log"
: >"$log"

# mawk, Debian's awk, waits for a full buffer from a pipe unless told to
# read line by line; the figures must arrive as they are made.
line_awk=awk
if awk -W version 2>&1 </dev/null | grep -q mawk; then line_awk="awk -W interactive"; fi

failed() {
  echo "demo: $1 failed; the log follows ($log)" >&2
  cat "$log" >&2
  exit 1
}

# step WHAT AWK_FILTER COMMAND...: runs COMMAND with all its output in the
# log; the lines the filter prints reach the terminal at once. Returns the
# command's exit status.
step() {
  what=$1 filter=$2
  shift 2
  (
    # The sleeps do not hold the terminal's pipe open once stopped.
    seconds=0
    while sleep 10 >/dev/null 2>&1; do
      seconds=$((seconds + 10))
      echo "demo:   ... still $what (${seconds} s)"
    done
  ) &
  beat=$!
  status=$( { "$@" 2>&1; echo "step-exit $?"; } | tee -a "$log" |
    $line_awk "/^step-exit / { print \$2; next } $filter")
  kill "$beat" 2>/dev/null
  wait "$beat" 2>/dev/null
  return "${status:-1}"
}

echo "demo: checking the Debian packages the demonstration needs (installed when missing, as root)"
step "installing packages" \
  '/^(Installing:|Missing packages:|  )/ { print "demo:   " $0 > "/dev/stderr"; fflush("/dev/stderr") }' \
  make --no-print-directory deps-demo || failed "installing packages"

echo "demo: configuring and building the tool, the libraries and the PKCS#11 module (log: $log)"
if [ ! -f "$build/CMakeCache.txt" ]; then
  step "configuring" '' cmake -S . -B "$build" || failed "configuring"
fi
# cmake prints "[ NN%]" before each step; show the figure every tenth.
step "building" \
  '/^\[ *[0-9]+%\]/ { p = substr($0, 2) + 0; if (p >= shown + 10) { printf "demo:   %d%% built\n", p > "/dev/stderr"; fflush("/dev/stderr"); shown = p - p % 10 } }' \
  cmake --build "$build" -j "${JOBS:-$(nproc)}" --target demo_programs || failed "building"
echo "demo: built; the demonstration follows"
