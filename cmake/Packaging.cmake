# Install layout and the Debian package. The installed tree has the build
# tree's shape (bin/ beside lib/), so the program finds its libraries from its
# own path with no environment set.
#
# The emulated board's libraries are installed under names that say so
# (lib<name>-emulated.so) and reached through the names the program loads
# (lib<name>.so, a symbolic link). To use a board maker's library instead,
# point the link at it.

function(clst_install_emulated_library target)
    if(NOT TARGET ${target})
        return()
    endif()
    set(_real lib${target}-emulated.so)
    set(_link_dir ${CMAKE_BINARY_DIR}/install-links)
    file(MAKE_DIRECTORY ${_link_dir})
    file(CREATE_LINK ${_real} ${_link_dir}/lib${target}.so SYMBOLIC)
    install(FILES $<TARGET_FILE:${target}> DESTINATION lib RENAME ${_real})
    install(FILES ${_link_dir}/lib${target}.so DESTINATION lib)
endfunction()

foreach(_lib clsermro acqlib5 maro_hal)
    clst_install_emulated_library(${_lib})
endforeach()

# The port-pair library is this project's own (ptys), with its pair host.
if(TARGET MaroVirtualComPort)
    install(TARGETS MaroVirtualComPort LIBRARY DESTINATION lib)
    install(TARGETS clsertolvane-pairhost RUNTIME DESTINATION bin)
endif()
if(TARGET clsertolvane-pairs)
    install(TARGETS clsertolvane-pairs RUNTIME DESTINATION bin)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/etc/emulation.ini
              ${PROJECT_SOURCE_DIR}/etc/ser2net-clsertolvane.yaml
        DESTINATION etc)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/clsertolvane.1
              ${PROJECT_SOURCE_DIR}/docs/man/clsertolvane-pairs.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The systemd user units (the relay, and the pair it needs) name the programs
# by their installed path, which is known only at install time (cmake
# --install --prefix, or /usr in the package). share/systemd/user is where
# systemctl --user looks for /usr, /usr/local and ~/.local installs alike.
foreach(_unit clsertolvane@.service clsertolvane-pair@.service)
    install(CODE "
        set(CLST_BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
        configure_file(\"${PROJECT_SOURCE_DIR}/packaging/${_unit}.in\"
                       \"${CMAKE_BINARY_DIR}/install-unit/${_unit}\" @ONLY)
        file(INSTALL \"${CMAKE_BINARY_DIR}/install-unit/${_unit}\"
             DESTINATION \"\${CMAKE_INSTALL_PREFIX}/share/systemd/user\")
    ")
endforeach()

# cpack -G DEB (from the build directory).
set(CPACK_PACKAGE_NAME clsertolvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The ClSerTolvane developers")
set(CPACK_PACKAGE_CONTACT "ClSerTolvane developers <clsertolvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Makes the Camera Link serial line of a frame-grabber board usable as an ordinary\n"
    "serial port: a camera tool opens a virtual COM port (a pty) and every byte is\n"
    "relayed to the camera through the board maker's Camera Link serial library.\n"
    "Ships an emulated board (lib*-emulated.so) with a demo camera and pty port pairs.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What dpkg-shlibdeps finds (the Qt 6 runtime among it), plus what the tools
# start: the Qt platform plugin for X and the pty tools nobody links.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "picocom | tio, python3-serial, wine, ser2net")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
