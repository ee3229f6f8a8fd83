# Common compile settings for every target of the project.
function(clst_target_defaults target)
    target_compile_features(${target} PUBLIC cxx_std_20)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(CLST_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# A shared library that stands in for one of the board maker's libraries.
# It lands in <build>/lib with the plain name the program looks for.
function(clst_maker_library target output_name)
    add_library(${target} SHARED ${ARGN})
    clst_target_defaults(${target})
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME ${output_name}
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        POSITION_INDEPENDENT_CODE ON)
endfunction()

# A static library made of every .cpp in the calling directory (tests and
# programs live elsewhere). New sources need no edit here.
function(clst_directory_library target)
    file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    if(_srcs)
        add_library(${target} STATIC ${_srcs})
        target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
    else()
        add_library(${target} INTERFACE)
        target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR})
        return()
    endif()
    clst_target_defaults(${target})
endfunction()

# Add every sub-directory of the calling directory that has a CMakeLists.txt.
function(clst_add_present_subdirectories)
    foreach(_dir ${ARGN})
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_dir}/CMakeLists.txt)
            add_subdirectory(${_dir})
        endif()
    endforeach()
endfunction()

# One GoogleTest executable per test area, made of every *_test.cpp in the
# calling directory. Extra arguments are link libraries.
function(clst_test_area name)
    file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
    if(NOT _srcs)
        return()
    endif()
    add_executable(${name} ${_srcs})
    clst_target_defaults(${name})
    target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endfunction()

# Embeds the program's version data (description, file version, copyright)
# into `target`, where the About box reads it back from the program file.
# The values come from the project; this is their one place.
set(CLST_FILE_DESCRIPTION "${PROJECT_DESCRIPTION}")
set(CLST_FILE_VERSION "${PROJECT_VERSION}")
set(CLST_LEGAL_COPYRIGHT "Copyright (C) 2026 The ClSerTolvane developers")
function(clst_embed_version_data target)
    set(_out ${CMAKE_BINARY_DIR}/generated/version_data.cpp)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version_data.cpp.in ${_out} @ONLY)
    target_sources(${target} PRIVATE ${_out})
endfunction()

# Tests that must see what an ordinary user sees (tty exclusive mode, file
# modes) run through this wrapper: as root it drops to an unprivileged user.
set(CLST_AS_TEST_USER ${PROJECT_SOURCE_DIR}/scripts/as-test-user.sh)
function(clst_run_as_test_user target)
    set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR ${CLST_AS_TEST_USER})
endfunction()
