# The DLLs' PC/SC backend over a stand-in winscard.dll (Wine's own reaches no
# reader service), loaded and freed again and again. The test program, the
# stand-in and copies of the two DLLs sit in a folder of their own, so that
# no other test finds the stand-in; WINEDLLOVERRIDES makes Wine load it
# instead of its built-in winscard.dll.
set(PELU7_PCSC_UNLOAD_DIR ${CMAKE_BINARY_DIR}/bin/pcsc_unload)

add_library(scripted_winscard SHARED scripted_winscard.cpp ${CMAKE_SOURCE_DIR}/tests/support/scripted_pcsc.cpp
                                     scripted_winscard.def)
target_include_directories(scripted_winscard PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(scripted_winscard PRIVATE card_vocabulary)
target_link_options(scripted_winscard PRIVATE -static)
set_target_properties(scripted_winscard PROPERTIES PREFIX "" OUTPUT_NAME winscard
                                                   RUNTIME_OUTPUT_DIRECTORY ${PELU7_PCSC_UNLOAD_DIR})

add_executable(windows_pcsc_unload_tests pcsc_unload_test.cpp loaded_dal.cpp)
target_include_directories(windows_pcsc_unload_tests PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(windows_pcsc_unload_tests PRIVATE GTest::gtest_main)
set_target_properties(windows_pcsc_unload_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PELU7_PCSC_UNLOAD_DIR})
add_dependencies(windows_pcsc_unload_tests scripted_winscard pcsc_unload_dlls)
add_custom_command(OUTPUT ${PELU7_PCSC_UNLOAD_DIR}/vorn_dal_pelu7.dll ${PELU7_PCSC_UNLOAD_DIR}/TKRDR.dll
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vorn_dal_pelu7> $<TARGET_FILE:tkrdr> ${PELU7_PCSC_UNLOAD_DIR}
  DEPENDS vorn_dal_pelu7 tkrdr $<TARGET_FILE:vorn_dal_pelu7> $<TARGET_FILE:tkrdr>
  COMMENT "Copying the DLLs beside the stand-in winscard.dll"
  VERBATIM)
add_custom_target(pcsc_unload_dlls ALL
  DEPENDS ${PELU7_PCSC_UNLOAD_DIR}/vorn_dal_pelu7.dll ${PELU7_PCSC_UNLOAD_DIR}/TKRDR.dll)

add_test(NAME windows_pcsc_unload_tests COMMAND windows_pcsc_unload_tests --gtest_filter=-PcscUnloadPortLeftOpen.*)
add_test(NAME windows_pcsc_unload_port_left_open COMMAND windows_pcsc_unload_tests
                                                 --gtest_filter=PcscUnloadPortLeftOpen.*)
set_tests_properties(windows_pcsc_unload_tests windows_pcsc_unload_port_left_open PROPERTIES
  FIXTURES_REQUIRED wine TIMEOUT 600 RUN_SERIAL TRUE ENVIRONMENT WINEDLLOVERRIDES=winscard=n)
