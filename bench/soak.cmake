# The soak run (bench/soak): 30 seconds of records both ways through
# clsertolvane --headless, plain, with --echo and with --low-latency. The tests
# check that nothing is lost, reordered or corrupted; the floors are the
# benchmark's. A full line is the benchmark's too: with the buffers full, a
# machine busy with other work holds up the script that plays client and
# camera for longer than they last, and the relay then ends by design (a
# client that stops reading). Half of a 115200 bit/s line leaves seconds.
if(CLST_BUILD_TESTS AND TARGET clsertolvane)
    foreach(_mode plain echo low_latency)
        set(_words --seconds 30 --baud 115200 --offer 50 --correctness-only --bin ${CMAKE_BINARY_DIR}/bin)
        if(_mode STREQUAL "echo")
            list(APPEND _words --echo)
        elseif(_mode STREQUAL "low_latency")
            list(APPEND _words --low-latency)
        endif()
        add_test(NAME soak_${_mode} COMMAND ${CLST_AS_TEST_USER} /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/soak ${_words})
        set_tests_properties(soak_${_mode} PROPERTIES LABELS "bench" TIMEOUT 120)
    endforeach()
endif()
