# The check of a backup image, on images made by mke2fs.
target_sources(agent_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/image_check_test.cpp)
