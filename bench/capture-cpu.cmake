# bench/capture-cpu: CPU cost of recording both inputs, against two parec processes.
add_executable(bench_capture_cpu ${CMAKE_CURRENT_LIST_DIR}/capture-cpu.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/pulseserver.cpp)
target_include_directories(bench_capture_cpu PRIVATE
    ${PROJECT_SOURCE_DIR}/tests/capture ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(bench_capture_cpu PRIVATE parlevox_capture Qt6::Network PkgConfig::SNDFILE)
