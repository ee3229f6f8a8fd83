# clsertolvane-run and the serial-lines library it preloads, one folder per
# word size: <prefix>/lib/clsertolvane/<arch>/ installed, <build>/lib/<arch>/
# in the build tree.
add_executable(clsertolvane-run ${CMAKE_CURRENT_LIST_DIR}/clsertolvane_run.cpp)
clst_target_defaults(clsertolvane-run)
target_compile_definitions(clsertolvane-run PRIVATE CLST_RUN_HOST_DIR="${CLST_RUN_HOST_DIR}"
                                                    CLST_RUN_I386_DIR="${CLST_RUN_I386_DIR}")
target_link_libraries(clsertolvane-run PRIVATE clst_platform)
clst_install_programs(clsertolvane-run)
foreach(_lib clsertolvane-run-lines clsertolvane-run-lines-i386)
    if(TARGET ${_lib})
        add_dependencies(clsertolvane-run ${_lib})
    endif()
endforeach()
clst_install_private(clsertolvane-run-lines SUBDIR ${CLST_RUN_HOST_DIR})
if(TARGET clsertolvane-run-lines-i386)
    clst_install_private(clsertolvane-run-lines-i386 FOREIGN_ARCH SUBDIR ${CLST_RUN_I386_DIR})
endif()
