# The control socket: a server in the test process, agents as processes of
# their own (the control client), and the protocol's checks.
add_executable(velmora-control-client control_client.cpp pointer_probes.cpp)
target_link_libraries(velmora-control-client PRIVATE velmora_agent)

add_executable(control_socket_tests control_server_test.cpp client_process.cpp pointer_probes.cpp
  ../system/backup_rig.cpp ../system/backup_fixture.cpp)
target_include_directories(control_socket_tests PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/../system")
target_link_libraries(control_socket_tests PRIVATE gtest gtest_main velmora_sim velmora_agent
  velmora_control_server)
target_compile_definitions(control_socket_tests PRIVATE
  CONTROL_CLIENT_PATH="$<TARGET_FILE:velmora-control-client>")
add_dependencies(control_socket_tests velmora velmora-control-client)
gtest_discover_tests(control_socket_tests DISCOVERY_MODE PRE_TEST
  PROPERTIES ENVIRONMENT "${VELMORA_TEST_ENV}")
