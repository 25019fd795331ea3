# Settings of the 32-bit Windows build (configured with cmake/mingw-i686.cmake
# and PELU7_WIN_PREFIXES naming the cross-built libcrypto and GoogleTest).
#
# - libcrypto (OpenSSL::Crypto) linked statically into each DLL and program;
# - PkgConfig::PCSC stands for winscard.dll, which mingw-w64 provides with
#   the same SCard functions as pcsc-lite;
# - every binary linked -static: they import only system DLLs (and the DAL
#   imports TKRDR.dll);
# - DLLs and programs in bin/, so that a program finds the DLLs beside it.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "the Windows build is 32-bit: configure with cmake/mingw-i686.cmake")
endif()

set(OPENSSL_USE_STATIC_LIBS ON)
find_package(OpenSSL 3.0 REQUIRED COMPONENTS Crypto)
add_library(PkgConfig::PCSC INTERFACE IMPORTED)
set_target_properties(PkgConfig::PCSC PROPERTIES INTERFACE_LINK_LIBRARIES winscard)

set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_link_options(-static)
# Windows 7 API level: CreateFileW flags, LockFileEx, MoveFileExW and friends.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

# The DLLs' entry point (DLL_PROCESS_DETACH runs the unload actions).
set(PELU7_DLL_MAIN ${CMAKE_SOURCE_DIR}/src/platform/win32/dll_main.cpp)
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
