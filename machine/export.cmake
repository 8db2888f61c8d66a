# The disk export: the machine's disks as files of a FUSE file system on the
# host, and hostfs mounts that carry the stand-in's freezes to the host's
# file systems on them.
find_package(PkgConfig REQUIRED)
pkg_check_modules(FUSE3 REQUIRED IMPORTED_TARGET fuse3)
add_library(velmora_disk_export STATIC disk_export.cpp export_operations.cpp export_state.cpp
  exported_devices.cpp device_io.cpp hostfs_mount.cpp)
target_include_directories(velmora_disk_export PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}")
target_link_libraries(velmora_disk_export PUBLIC standin_api PRIVATE PkgConfig::FUSE3)
