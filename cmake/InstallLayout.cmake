# Where an installed tree puts the built files (cmake --install --prefix P,
# and the Debian package, where P is /usr):
#
#   P/bin                 the programs a user runs; each has a man page
#   P/lib/clsertolvane    private: the emulated board's libraries, the
#                         port-pair library and its pair host, and whatever
#                         else only ClSerTolvane's own programs load or start
#
# Nothing in the private folder is on the library path or in PATH: no other
# program on the machine picks up the emulated libclsermro.so by its name,
# and a maker's runtime installed later owns its names alone. The build tree
# keeps build/bin and build/lib; the programs find either layout from their
# own path (platform/program_path.h).
set(CLST_PRIVATE_DIR lib/clsertolvane)

# Programs for the user, installed into bin/. Nothing they load is linked
# (the board libraries are opened by full path), but a private library that
# is linked one day is found in the private folder, never in the system's.
function(clst_install_programs)
    foreach(_target ${ARGN})
        set_target_properties(${_target} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CLST_PRIVATE_DIR}")
        install(TARGETS ${_target} RUNTIME DESTINATION bin)
        set_property(GLOBAL APPEND PROPERTY CLST_PACKAGED_ELF_FILES "$<TARGET_FILE:${_target}>")
    endforeach()
endfunction()

# Libraries and helper programs for ClSerTolvane's own programs only,
# installed into the private folder. FOREIGN_ARCH marks files built for
# another architecture (an i386 library beside the amd64 programs): they are
# left out of the package's dependency scan, and the package needs a lintian
# override for them where lintian flags them (packaging/lintian-overrides). SUBDIR puts them into a
# folder of the private folder (one per word size, for example).
function(clst_install_private)
    cmake_parse_arguments(PARSE_ARGV 0 _arg "FOREIGN_ARCH" "SUBDIR" "")
    set(_dir ${CLST_PRIVATE_DIR})
    if(_arg_SUBDIR)
        set(_dir ${CLST_PRIVATE_DIR}/${_arg_SUBDIR})
    endif()
    foreach(_target ${_arg_UNPARSED_ARGUMENTS})
        # A target that set its own search path (none, for a library
        # preloaded into other programs) keeps it.
        get_property(_own_rpath TARGET ${_target} PROPERTY INSTALL_RPATH SET)
        if(NOT _own_rpath)
            set_target_properties(${_target} PROPERTIES INSTALL_RPATH "$ORIGIN")
        endif()
        install(TARGETS ${_target} RUNTIME DESTINATION ${_dir} LIBRARY DESTINATION ${_dir})
        if(NOT _arg_FOREIGN_ARCH)
            set_property(GLOBAL APPEND PROPERTY CLST_PACKAGED_ELF_FILES "$<TARGET_FILE:${_target}>")
        endif()
    endforeach()
endfunction()
