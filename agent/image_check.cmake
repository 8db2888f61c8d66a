# The check of a backup image (velmora-agent verify): e2fsck and a byte comparison.
target_sources(velmora_agent PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/image_check.cpp ${CMAKE_CURRENT_LIST_DIR}/file_system_probe.cpp)
