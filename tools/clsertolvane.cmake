add_executable(clsertolvane ${CMAKE_CURRENT_LIST_DIR}/clsertolvane_main.cpp)
clst_target_defaults(clsertolvane)
target_compile_definitions(clsertolvane PRIVATE CLST_VERSION="${PROJECT_VERSION}")
target_link_libraries(clsertolvane PRIVATE clst_ui_qt clst_ui clst_connections clst_portpairs
                                           clst_relay clst_platform)
# Description, version and legal text, read back by the about box.
clst_embed_version_data(clsertolvane)
foreach(_lib clsermro clserxyz MaroVirtualComPort acqlib5 maro_hal clsertolvane-pairhost)
    if(TARGET ${_lib})
        add_dependencies(clsertolvane ${_lib})
    endif()
endforeach()
clst_install_programs(clsertolvane)
