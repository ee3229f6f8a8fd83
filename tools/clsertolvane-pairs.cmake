# clsertolvane-pairs: list, install and remove virtual port pairs from a shell.
add_executable(clsertolvane-pairs ${CMAKE_CURRENT_LIST_DIR}/clsertolvane_pairs.cpp)
clst_target_defaults(clsertolvane-pairs)
target_link_libraries(clsertolvane-pairs PRIVATE clst_portpairs clst_platform)
if(TARGET MaroVirtualComPort)
    add_dependencies(clsertolvane-pairs MaroVirtualComPort)
endif()
clst_install_programs(clsertolvane-pairs)
