# The change map picture's tests decode what it wrote with libpng.
find_package(PNG REQUIRED)
target_sources(agent_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/change_map_picture_test.cpp)
target_link_libraries(agent_tests PRIVATE PNG::PNG)
