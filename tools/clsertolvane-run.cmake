# clsertolvane-run and the serial-lines library it preloads, one folder per
# word size: <prefix>/lib/clsertolvane/<arch>/ installed, <build>/lib/<arch>/
# in the build tree.
add_executable(clsertolvane-run ${CMAKE_CURRENT_LIST_DIR}/clsertolvane_run.cpp)
clst_target_defaults(clsertolvane-run)
target_compile_definitions(clsertolvane-run PRIVATE CLST_RUN_HOST_DIR="${CLST_RUN_HOST_DIR}"
                                                    CLST_RUN_I386_DIR="${CLST_RUN_I386_DIR}")
target_link_libraries(clsertolvane-run PRIVATE clst_platform)
install(TARGETS clsertolvane-run RUNTIME DESTINATION bin)
foreach(_lib clsertolvane-run-lines clsertolvane-run-lines-i386)
    if(TARGET ${_lib})
        add_dependencies(clsertolvane-run ${_lib})
    endif()
endforeach()
install(TARGETS clsertolvane-run-lines LIBRARY DESTINATION lib/clsertolvane/${CLST_RUN_HOST_DIR})
if(TARGET clsertolvane-run-lines-i386)
    install(TARGETS clsertolvane-run-lines-i386
            LIBRARY DESTINATION lib/clsertolvane/${CLST_RUN_I386_DIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/clsertolvane-run.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
