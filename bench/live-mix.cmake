# bench/live-mix: the mix made while recording against the mix made after the stop.
add_executable(bench_live_mix ${CMAKE_CURRENT_LIST_DIR}/live-mix.cpp)
target_include_directories(bench_live_mix PRIVATE
    ${PROJECT_SOURCE_DIR}/tests/capture ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(bench_live_mix PRIVATE parlevox_capture parlevox_testsupport)
