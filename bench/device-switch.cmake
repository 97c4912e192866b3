# bench/device-switch: how much of the call is lost when the default output changes mid-recording.
add_executable(bench_device_switch ${CMAKE_CURRENT_LIST_DIR}/device-switch.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/pulseserver.cpp)
target_include_directories(bench_device_switch PRIVATE
    ${PROJECT_SOURCE_DIR}/tests/capture ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(bench_device_switch PRIVATE parlevox_capture Qt6::Network PkgConfig::SNDFILE)
