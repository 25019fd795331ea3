# Valgrind memcheck over the end-to-end suite: test_dal runs under valgrind
# in four shards (one process each), and a shard fails on any memory error or
# definite leak (memcheck.supp names the one leak that is by design). The
# two-program interleaving test is left to the plain and sanitizer runs: under
# valgrind its two programs run so slowly that their waits for the token time
# out, which says nothing about memory. Not in
# sanitizer or fuzzer builds, whose binaries valgrind cannot run.
find_program(VALGRIND_EXECUTABLE valgrind)
if(VALGRIND_EXECUTABLE AND TARGET test_dal AND NOT PELU7_SANITIZE AND NOT PELU7_FUZZ)
  set(PELU7_MEMCHECK_SHARDS 4)
  math(EXPR lastShard "${PELU7_MEMCHECK_SHARDS} - 1")
  foreach(shard RANGE ${lastShard})
    add_test(NAME memcheck.test_dal.${shard}
             COMMAND ${VALGRIND_EXECUTABLE} --tool=memcheck --error-exitcode=1 --leak-check=full
                     --errors-for-leak-kinds=definite,indirect -q
                     --suppressions=${CMAKE_CURRENT_LIST_DIR}/memcheck.supp
                     $<TARGET_FILE:test_dal>)
    set_tests_properties(memcheck.test_dal.${shard} PROPERTIES
      LABELS memcheck
      TIMEOUT 1200
      ENVIRONMENT "PELU7_READERS=;PELU7_APDU_TRACE=;GTEST_TOTAL_SHARDS=${PELU7_MEMCHECK_SHARDS};GTEST_SHARD_INDEX=${shard};GTEST_FILTER=-TokenSharingTest.*")
  endforeach()
endif()
