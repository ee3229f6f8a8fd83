# What an installed tree holds besides the programs (cmake/InstallLayout.cmake
# has the layout), and the Debian package made from it with cpack -G DEB.

# The emulated board's libraries and the port-pair library with its pair
# host: private, loaded and started by ClSerTolvane's programs only. A
# maker's libraries are chosen through the environment (README, "Using a
# real board"), never by replacing these.
foreach(_target clsermro acqlib5 maro_hal MaroVirtualComPort clsertolvane-pairhost)
    if(TARGET ${_target})
        clst_install_private(${_target})
    endif()
endforeach()

# Examples, not configuration: nothing reads them where they are installed.
set(CLST_DOC_DIR share/doc/clsertolvane)
install(FILES ${PROJECT_SOURCE_DIR}/etc/emulation.ini
              ${PROJECT_SOURCE_DIR}/etc/ser2net-clsertolvane.yaml
        DESTINATION ${CLST_DOC_DIR}/examples)

# The Debian changelog (this is a native package: one version for the
# program and the package) and the machine-readable copyright file.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog _changelog_head LIMIT_COUNT 1)
if(NOT _changelog_head MATCHES "^clsertolvane \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog starts with \"${_changelog_head}\": "
                        "add an entry for version ${PROJECT_VERSION} on top")
endif()

# Man pages and the changelog, compressed as Debian wants them (gzip -9n: no
# name or time stamp, so the same page gives the same bytes).
find_program(CLST_GZIP gzip REQUIRED)
set(_gzipped)
function(clst_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DGZIP=${CLST_GZIP} -DIN=${source} -DOUT=${output}
                -P ${PROJECT_SOURCE_DIR}/cmake/Gzip.cmake
        DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/Gzip.cmake VERBATIM)
endfunction()
clst_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
list(APPEND _gzipped ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz
              ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CLST_DOC_DIR})
# Every page in docs/man, in the section its name ends with.
file(GLOB _pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.[1-8])
foreach(_page ${_pages})
    get_filename_component(_name ${_page} NAME)
    string(REGEX MATCH "[1-8]$" _section ${_name})
    clst_gzip(${_page} ${CMAKE_BINARY_DIR}/man/${_name}.gz)
    list(APPEND _gzipped ${CMAKE_BINARY_DIR}/man/${_name}.gz)
    install(FILES ${CMAKE_BINARY_DIR}/man/${_name}.gz DESTINATION share/man/man${_section})
endforeach()
add_custom_target(clst_compressed_docs ALL DEPENDS ${_gzipped})

# Lintian overrides, each with its one-line reason on the line above it;
# installed only while the file holds one.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides _overrides REGEX "^[^#]")
if(_overrides)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
            DESTINATION share/lintian/overrides RENAME clsertolvane)
endif()

# The systemd user units (packaging/*.service.in) name the programs by their
# installed path, which is known only at install time (cmake --install
# --prefix, or /usr in the package): @CLST_BINDIR@ for bin/, @CLST_PRIVATE@
# for the private folder. share/systemd/user is where systemctl --user
# looks for /usr, /usr/local and ~/.local installs alike.
file(GLOB _units CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/*.service.in)
foreach(_unit ${_units})
    get_filename_component(_name ${_unit} NAME)
    string(REGEX REPLACE "\\.in$" "" _name ${_name})
    install(CODE "
        set(CLST_BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
        set(CLST_PRIVATE \"\${CMAKE_INSTALL_PREFIX}/${CLST_PRIVATE_DIR}\")
        configure_file(\"${_unit}\" \"${CMAKE_BINARY_DIR}/install-units/${_name}\" @ONLY)
        file(INSTALL \"${CMAKE_BINARY_DIR}/install-units/${_name}\"
             DESTINATION \"\${CMAKE_INSTALL_PREFIX}/share/systemd/user\")
    ")
endforeach()

# The ELF files of the package, for its dependency scan (cmake/DebDepends.cmake).
get_property(_elf_files GLOBAL PROPERTY CLST_PACKAGED_ELF_FILES)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/packaging/elf-files.txt
     CONTENT "$<JOIN:${_elf_files},\n>\n")

# cpack -G DEB (from the build directory).
set(CLST_PACKAGE_MAINTAINER "ClSerTolvane developers <developers@clsertolvane.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_NAME clsertolvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The ClSerTolvane developers")
set(CPACK_PACKAGE_CONTACT "${CLST_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# At most 80 characters a line; an empty line separates paragraphs.
set(CPACK_PACKAGE_DESCRIPTION [[
ClSerTolvane makes the Camera Link serial line of a frame-grabber board
usable as an ordinary serial port: a camera tool, terminal or script opens a
virtual COM port (a pty) and every byte is relayed, both ways, to the camera
through the board maker's Camera Link serial library.

It has a window with an echo list and a tray icon, a headless mode with a
systemd user unit, and the management of virtual port pairs. It ships an
emulated board with a demo camera on each port, in its private folder; the
maker's libraries are chosen through the environment.]])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The Qt platform plugin for X and the pty tools nobody links; what the ELF
# files link is added at packaging time by cmake/DebDepends.cmake, not by
# CPack's own scan, which would also add ldconfig calls for the private
# folder's libraries.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_CLST_ELF_FILES ${CMAKE_BINARY_DIR}/packaging/elf-files.txt)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/DebDepends.cmake)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "picocom | tio, python3-serial, wine, ser2net")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Stripped programs and libraries; no debug-symbols package.
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
