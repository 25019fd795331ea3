# Settings of the 32-bit Windows build (configured with windows/cmake/mingw-i686.cmake
# and PELU7_WIN_PREFIXES naming the cross-built libcrypto and GoogleTest).
#
# - libcrypto (OpenSSL::Crypto) linked statically into each DLL and program;
# - PkgConfig::PCSC stands for winscard.dll, which mingw-w64 provides with
#   the same SCard functions as pcsc-lite;
# - every binary linked -static: they import only system DLLs (and the DAL
#   imports TKRDR.dll);
# - DLLs and programs in bin/, so that a program finds the DLLs beside it.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "the Windows build is 32-bit: configure with windows/cmake/mingw-i686.cmake")
endif()

set(OPENSSL_USE_STATIC_LIBS ON)
find_package(OpenSSL 3.0 REQUIRED COMPONENTS Crypto)
add_library(PkgConfig::PCSC INTERFACE IMPORTED)
set_target_properties(PkgConfig::PCSC PROPERTIES INTERFACE_LINK_LIBRARIES winscard)

set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_link_options(-static)
# Windows 7 API level: CreateFileW flags, LockFileEx, MoveFileExW and friends.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

# The DLLs' entry point (DLL_PROCESS_DETACH runs the unload actions) and the
# release of the statically linked runtime's state when a DLL is freed.
set(PELU7_DLL_MAIN ${CMAKE_SOURCE_DIR}/src/platform/win32/dll_main.cpp
                   ${CMAKE_SOURCE_DIR}/src/platform/win32/dll_runtime.cpp)
set(PELU7_WINDOWS_DEFS ${CMAKE_SOURCE_DIR}/windows)

# The import library of TKRDR.dll for __stdcall callers: dlltool -k binds
# _CT_open@12 and the others to the undecorated names the DLL exports.
set(TKRDR_IMPLIB ${CMAKE_BINARY_DIR}/lib/libtkrdr_imp.a)
add_custom_command(OUTPUT ${TKRDR_IMPLIB}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/lib
  COMMAND ${CMAKE_DLLTOOL} -k -d ${PELU7_WINDOWS_DEFS}/tkrdr_imp.def -l ${TKRDR_IMPLIB}
  DEPENDS ${PELU7_WINDOWS_DEFS}/tkrdr_imp.def
  VERBATIM)
add_custom_target(tkrdr_implib DEPENDS ${TKRDR_IMPLIB})
add_library(tkrdr_import INTERFACE)
add_dependencies(tkrdr_import tkrdr_implib)
target_link_libraries(tkrdr_import INTERFACE ${TKRDR_IMPLIB})

# pelu7_finish_windows_dll(TARGET DESCRIPTION): what a shipped DLL carries
# beyond its code, called where TARGET is made.
# - A version resource (windows/version.rc.in): file and product version from
#   the project's version, DESCRIPTION, the licence's copyright line (from
#   packaging/copyright), the file's own name.
# - In a release build the DWARF sections and the symbol table (a quarter of
#   the file) move to NAME.dll.debug beside it; the DLL keeps a
#   .gnu_debuglink naming that file, through which gdb finds them.
enable_language(RC)
find_program(PELU7_OBJCOPY NAMES ${CMAKE_OBJCOPY} i686-w64-mingw32-objcopy REQUIRED)
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/copyright PELU7_COPYRIGHT_LINE REGEX "^Copyright: " LIMIT_COUNT 1)
string(REGEX REPLACE "^Copyright: *" "" PELU7_COPYRIGHT_HOLDERS "${PELU7_COPYRIGHT_LINE}")
if(PELU7_COPYRIGHT_HOLDERS STREQUAL "")
  message(FATAL_ERROR "packaging/copyright has no Copyright: line")
endif()

function(pelu7_finish_windows_dll target description)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(PELU7_RC_FILE "${name}.dll")
  set(PELU7_RC_INTERNAL_NAME "${name}")
  set(PELU7_RC_DESCRIPTION "${description}")
  set(PELU7_RC_VERSION "${PROJECT_VERSION}")
  set(PELU7_RC_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(PELU7_RC_PRODUCT "PELU7 device abstraction layer")
  string(REGEX REPLACE "^[0-9-]+ +" "" PELU7_RC_COMPANY "${PELU7_COPYRIGHT_HOLDERS}")
  set(PELU7_RC_COPYRIGHT "Copyright ${PELU7_COPYRIGHT_HOLDERS}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}_version.rc)
  configure_file(${PELU7_WINDOWS_DEFS}/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})

  if(CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$")
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${PELU7_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
      COMMAND ${PELU7_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug
              $<TARGET_FILE:${target}>
      COMMENT "Moving the debug information of ${name}.dll to ${name}.dll.debug"
      VERBATIM)
  endif()
endfunction()
