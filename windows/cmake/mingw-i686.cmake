# Cross build for 32-bit Windows with the mingw-w64 i686 toolchain (posix
# thread model), run under Wine.
#
# PELU7_WIN_PREFIXES: install trees of cross-built libraries (libcrypto,
# GoogleTest); find_package and find_library look in them, and only there and
# in the mingw sysroot, never in the host's folders.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER   i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER  i686-w64-mingw32-windres)
set(CMAKE_DLLTOOL      i686-w64-mingw32-dlltool)

set(PELU7_WIN_PREFIXES "" CACHE STRING "Install trees of the cross-built libraries")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELU7_WIN_PREFIXES)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 ${PELU7_WIN_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs (and gtest_discover_tests at build time) run under Wine in the
# project's prefix, with Wine's diagnostics and crash dumps kept off.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine_run.sh)
