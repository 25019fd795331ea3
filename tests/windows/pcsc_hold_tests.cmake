# The PC/SC backend's held transaction on Windows: the backend over the
# scripted reader service (Wine's winscard.dll reaches no service), the same
# tests as the Linux driver suite's.
add_executable(windows_pcsc_hold_tests
  ${CMAKE_SOURCE_DIR}/tests/driver/pcsc_hold_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/scripted_pcsc.cpp)
target_include_directories(windows_pcsc_hold_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(windows_pcsc_hold_tests PRIVATE tkrdr_core card_vocabulary common PkgConfig::PCSC GTest::gtest_main)
add_test(NAME windows_pcsc_hold_tests COMMAND windows_pcsc_hold_tests)
set_tests_properties(windows_pcsc_hold_tests PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300 RUN_SERIAL TRUE)
