# The live machine: velmorad, the host's ext4 through the FUSE export and a
# loop device, and velmora-agent processes. Needs root, FUSE, loop devices
# and fio; skipped with the reason where they are missing.
add_executable(live_machine_tests live_backup_test.cpp live_machine.cpp
  host_commands.cpp)
target_link_libraries(live_machine_tests PRIVATE gtest gtest_main velmora_sim)
target_compile_definitions(live_machine_tests PRIVATE VELMORAD_PATH="$<TARGET_FILE:velmorad>"
  AGENT_PATH="$<TARGET_FILE:velmora-agent>")
add_dependencies(live_machine_tests velmorad velmora-agent velmora)
gtest_discover_tests(live_machine_tests DISCOVERY_MODE PRE_TEST PROPERTIES
  ENVIRONMENT "${VELMORA_TEST_ENV}" TIMEOUT 600 RUN_SERIAL TRUE)
