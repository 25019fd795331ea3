# Sourced by the scripts in this folder: where the cross-built libraries and
# the Wine prefix are cached. Both live outside the clone, so that a new clone
# or a `make clean` on the same machine reuses them.
#   PELU7_WIN_CACHE   cross-built libraries, one folder per library version
#                     (default /var/cache/pelu7-windows for root, else
#                     ~/.cache/pelu7-windows)
#   WINEPREFIX        the 32-bit Wine prefix (default ~/.cache/pelu7/wine-win32;
#                     Wine refuses a prefix owned by another user)
if [ -z "${PELU7_WIN_CACHE:-}" ]; then
  if [ "$(id -u)" = 0 ]; then
    PELU7_WIN_CACHE=/var/cache/pelu7-windows
  else
    PELU7_WIN_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/pelu7-windows"
  fi
fi
export PELU7_WIN_CACHE
export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/pelu7/wine-win32}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
unset DISPLAY
# Wine names the Unix files in the character set of the Unix locale: under C
# or POSIX (ASCII) a Windows file name with é or 中 cannot be made at all. A
# UTF-8 locale of the caller is kept; otherwise C.UTF-8, which every Debian
# system has.
case "$(locale charmap 2>/dev/null)" in
  UTF-8) ;;
  *) export LC_ALL=C.UTF-8 ;;
esac

PELU7_WIN_HOST=i686-w64-mingw32

# Prints "name: seconds" after a step, for the timings in the build log.
pelu7_timed() {
  local name=$1 start end
  shift
  start=$(date +%s.%N)
  "$@" || return
  end=$(date +%s.%N)
  awk -v n="$name" -v s="$start" -v e="$end" 'BEGIN { printf "[windows] %s: %.1f s\n", n, e - s }'  >&2
}
