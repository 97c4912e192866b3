# bench/echo-delays: the echo canceller at echo delays from 10 to 300 ms.
add_executable(bench_echo_delays ${CMAKE_CURRENT_LIST_DIR}/echo-delays.cpp)
target_link_libraries(bench_echo_delays PRIVATE bench_echomeeting)
