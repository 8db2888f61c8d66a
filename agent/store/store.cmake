# The backup store: per device, a chain of points in time (a full backup, then
# incrementals of changed blocks), compressed with zstd and shared by hash.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VELMORA_STORE_DEPS REQUIRED IMPORTED_TARGET libzstd libxxhash)
add_library(velmora_store STATIC
  store/chunk_codec.cpp store/store_layout.cpp store/store_corrupt.cpp store/point_manifest.cpp
  store/point_reader.cpp store/point_writer.cpp store/device_chain.cpp store/chain_prune.cpp
  store/store_lock.cpp store/crash_points.cpp store/store_destination.cpp
  store/point_selection.cpp)
target_include_directories(velmora_store PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}/store"
  "${CMAKE_CURRENT_SOURCE_DIR}")
target_link_libraries(velmora_store PRIVATE velmora_agent nlohmann_json::nlohmann_json
  PkgConfig::VELMORA_STORE_DEPS)
