# The echo list's store over ten minutes of echoing at 921600 bit/s.
add_executable(clsertolvane-echo-bench ${CMAKE_CURRENT_LIST_DIR}/echo_memory_bench.cpp)
clst_target_defaults(clsertolvane-echo-bench)
target_link_libraries(clsertolvane-echo-bench PRIVATE clst_ui clst_relay Threads::Threads)
if(CLST_BUILD_TESTS)
    add_test(NAME echo_store_memory COMMAND clsertolvane-echo-bench --seconds 600)
    set_tests_properties(echo_store_memory PROPERTIES LABELS "bench" TIMEOUT 300)
endif()
