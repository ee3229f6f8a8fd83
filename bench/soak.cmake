# The soak run (bench/soak): 30 seconds of records both ways at 921600 bit/s
# through clsertolvane --headless, plain, with --echo and with --low-latency.
# The tests check that nothing is lost, reordered or corrupted; the floors are
# the benchmark's.
if(CLST_BUILD_TESTS AND TARGET clsertolvane)
    foreach(_mode plain echo low_latency)
        set(_words --seconds 30 --correctness-only --bin ${CMAKE_BINARY_DIR}/bin)
        if(_mode STREQUAL "echo")
            list(APPEND _words --echo)
        elseif(_mode STREQUAL "low_latency")
            list(APPEND _words --low-latency)
        endif()
        add_test(NAME soak_${_mode} COMMAND ${CLST_AS_TEST_USER} /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/soak ${_words})
        set_tests_properties(soak_${_mode} PROPERTIES LABELS "bench" TIMEOUT 120)
    endforeach()
endif()
