# Helpers for a cross build whose tests run under Wine.
#
# pelu7_wine_test_fixture(): two ctest fixtures. The wineserver started cold
# by a test inherits ctest's output pipes and holds them open: every test
# then waits seconds for it, or ctest hangs. The setup starts the server and
# Wine's services away from those pipes before the first test; the cleanup
# ends it after the last. Tests opt in with FIXTURES_REQUIRED wine.
#
# pelu7_check_dll_names(NAME DLL DEF [IMPORTS FROM]): a test that reads the
# export directory of DLL (objdump -p) and requires exactly the names on the
# left of the EXPORTS lines of DEF. With IMPORTS FROM, it reads DLL's import
# directory and requires exactly the DEF's names imported from the DLL FROM.
set(PELU7_WIN_TOOLS ${CMAKE_CURRENT_LIST_DIR}/../scripts)
set(PELU7_CHECK_DLL_NAMES_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/check_dll_names.cmake)
find_program(PELU7_OBJDUMP NAMES i686-w64-mingw32-objdump REQUIRED)

function(pelu7_wine_test_fixture)
  add_test(NAME wine_server_start COMMAND ${PELU7_WIN_TOOLS}/wine_server.sh start)
  add_test(NAME wine_server_stop COMMAND ${PELU7_WIN_TOOLS}/wine_server.sh stop)
  set_tests_properties(wine_server_start PROPERTIES FIXTURES_SETUP wine)
  set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine)
endfunction()

function(pelu7_check_dll_names name dll def)
  cmake_parse_arguments(ARG "" "IMPORTS" "" ${ARGN})
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${PELU7_OBJDUMP} -DDLL=${dll} -DDEF=${def} -DIMPORTS=${ARG_IMPORTS}
            -P ${PELU7_CHECK_DLL_NAMES_SCRIPT})
endfunction()
