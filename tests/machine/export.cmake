# The disk export: the machine's disks as FUSE files of the host, and the
# host's own ext4 on one of them backed up while it writes, the snapshot's
# freeze reaching the host. Needs root, FUSE, loop devices and e2fsprogs;
# skipped with the reason where they are missing.
add_executable(disk_export_tests export_io_test.cpp export_hostfs_test.cpp
  export_backup_test.cpp export_host.cpp host_commands.cpp
  "${PROJECT_SOURCE_DIR}/tests/system/backup_rig.cpp")
target_include_directories(disk_export_tests PRIVATE "${PROJECT_SOURCE_DIR}/tests/system")
target_link_libraries(disk_export_tests PRIVATE gtest gtest_main velmora_disk_export velmora_sim
  velmora_agent)
add_dependencies(disk_export_tests velmora)
gtest_discover_tests(disk_export_tests DISCOVERY_MODE PRE_TEST PROPERTIES
  ENVIRONMENT "${VELMORA_TEST_ENV}" TIMEOUT 300 RUN_SERIAL TRUE)
