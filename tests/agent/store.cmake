# The backup store's chains, restores and checks, on temporary directories.
add_executable(store_tests agent/store_test.cpp)
target_link_libraries(store_tests PRIVATE gtest gtest_main velmora_store)
gtest_discover_tests(store_tests DISCOVERY_MODE PRE_TEST PROPERTIES ENVIRONMENT "${VELMORA_TEST_ENV}")
add_executable(store_kill_tests agent/store_kill_test.cpp)
target_link_libraries(store_kill_tests PRIVATE gtest gtest_main velmora_store)
gtest_discover_tests(store_kill_tests DISCOVERY_MODE PRE_TEST PROPERTIES ENVIRONMENT "${VELMORA_TEST_ENV}")
