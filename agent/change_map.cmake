# The picture of a changed-block map, drawn with libpng.
find_package(PNG REQUIRED)
target_sources(velmora_agent PRIVATE ${CMAKE_CURRENT_LIST_DIR}/change_map_picture.cpp)
target_link_libraries(velmora_agent PRIVATE PNG::PNG)
