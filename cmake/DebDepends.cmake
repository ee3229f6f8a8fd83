# Read by cpack (CPACK_PROJECT_CONFIG_FILE): the Debian package's Depends,
# from what its ELF files link (dpkg-shlibdeps), added to the fixed ones.
# CPack's own scan (CPACK_DEBIAN_PACKAGE_SHLIBDEPS) would do the same, but
# it also adds ldconfig calls to the package for any library below
# /usr/lib, the private folder's too.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()
file(STRINGS ${CPACK_CLST_ELF_FILES} _files)
set(_args)
foreach(_file ${_files})
    list(APPEND _args -e${_file})
endforeach()
# dpkg-shlibdeps wants a debian/control to read, though it needs nothing in it.
set(_work ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/shlibdeps)
file(MAKE_DIRECTORY ${_work}/debian)
file(TOUCH ${_work}/debian/control)
execute_process(COMMAND dpkg-shlibdeps -O ${_args}
                WORKING_DIRECTORY ${_work}
                OUTPUT_VARIABLE _out ERROR_VARIABLE _err RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0 OR NOT _out MATCHES "shlibs:Depends=([^\n]+)")
    message(FATAL_ERROR "dpkg-shlibdeps failed (${_rc}):\n${_err}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}, ${CMAKE_MATCH_1}")
