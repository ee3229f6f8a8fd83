# The bare relay worker on one port, for the benchmarks; not installed.
add_executable(clsertolvane-relay ${CMAKE_CURRENT_LIST_DIR}/clsertolvane_relay.cpp)
clst_target_defaults(clsertolvane-relay)
target_link_libraries(clsertolvane-relay PRIVATE clst_relay clst_platform)
if(TARGET clsermro)
    add_dependencies(clsertolvane-relay clsermro)
endif()
