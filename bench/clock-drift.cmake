# bench/clock-drift: how far apart two inputs on clocks of their own end up in the tracks.
add_executable(bench_clock_drift ${CMAKE_CURRENT_LIST_DIR}/clock-drift.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/pulseserver.cpp)
target_include_directories(bench_clock_drift PRIVATE
    ${PROJECT_SOURCE_DIR}/tests/capture ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(bench_clock_drift PRIVATE parlevox_capture Qt6::Network PkgConfig::SNDFILE)
