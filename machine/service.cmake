#The service itself : boots the machine, attaches its disks, loads the module
#and ties the control socket and the disk export to them.
add_library(velmora_service STATIC service.cpp device_table.cpp capture_saver.cpp host_mounts.cpp)
    target_include_directories(velmora_service PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}")
        target_link_libraries(velmora_service PUBLIC velmora_sim velmora_agent
                                  velmora_control_server velmora_disk_export)
