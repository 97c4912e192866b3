# bench/stop-latency: time of AudioCapture::stop() after long recordings from injected sources.
add_executable(bench_stop_latency ${CMAKE_CURRENT_LIST_DIR}/stop-latency.cpp)
target_include_directories(bench_stop_latency PRIVATE
    ${PROJECT_SOURCE_DIR}/tests/capture ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(bench_stop_latency PRIVATE parlevox_capture)
