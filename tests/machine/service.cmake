# The live machine: velmorad, the host's ext4 through the FUSE export and a
# loop device, and velmora-agent processes. Needs root, FUSE, loop devices
# and fio; skipped with the reason where they are missing.
add_executable(live_machine_tests live_backup_test.cpp live_machine.cpp
  host_commands.cpp)
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(live_machine_tests PRIVATE gtest gtest_main velmora_sim
  nlohmann_json::nlohmann_json)
target_compile_definitions(live_machine_tests PRIVATE VELMORAD_PATH="$<TARGET_FILE:velmorad>"
  AGENT_PATH="$<TARGET_FILE:velmora-agent>")
add_dependencies(live_machine_tests velmorad velmora-agent velmora)
gtest_discover_tests(live_machine_tests DISCOVERY_MODE PRE_TEST PROPERTIES
  ENVIRONMENT "${VELMORA_TEST_ENV}" TIMEOUT 600 RUN_SERIAL TRUE)

# velmora-agent's commands against a running machine that mounts its own
# partitions: no root needed.
find_package(PNG REQUIRED)
add_executable(agent_machine_tests agent_commands_test.cpp agent_store_test.cpp
  host_commands.cpp)
target_link_libraries(agent_machine_tests PRIVATE gtest gtest_main velmora_sim
  nlohmann_json::nlohmann_json PNG::PNG)
target_compile_definitions(agent_machine_tests PRIVATE VELMORAD_PATH="$<TARGET_FILE:velmorad>"
  AGENT_PATH="$<TARGET_FILE:velmora-agent>")
add_dependencies(agent_machine_tests velmorad velmora-agent velmora)
gtest_discover_tests(agent_machine_tests DISCOVERY_MODE PRE_TEST PROPERTIES
  ENVIRONMENT "${VELMORA_TEST_ENV}" TIMEOUT 300)
