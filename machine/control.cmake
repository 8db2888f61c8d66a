# The control device for agents in other processes: the socket bridge, and
# the protocol it shares with the agent library.
add_library(velmora_control_protocol INTERFACE)
target_include_directories(velmora_control_protocol INTERFACE "${CMAKE_CURRENT_SOURCE_DIR}")

add_library(velmora_control_server STATIC
  control_server.cpp control_session.cpp control_listener.cpp)
target_include_directories(velmora_control_server PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}")
target_link_libraries(velmora_control_server PUBLIC standin_api velmora_control_protocol pthread)
