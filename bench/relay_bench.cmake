add_executable(clsertolvane-bench ${CMAKE_CURRENT_LIST_DIR}/relay_bench.cpp)
clst_target_defaults(clsertolvane-bench)
target_link_libraries(clsertolvane-bench PRIVATE Threads::Threads)
