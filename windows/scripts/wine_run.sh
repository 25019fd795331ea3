#!/bin/sh
# Runs a Windows program under Wine in the project's prefix: no display, no
# Wine diagnostics on stderr, and no debugger dump on stdout when the program
# crashes (the exit status stays 5 then). The program's exit code is ours.
# CMake uses this as the emulator of the cross build (tests, test discovery).
. "$(dirname "$0")/env.sh"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winedbg.exe=d"
exec wine "$@"
