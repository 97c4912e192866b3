# bench/mixdown: the mixdown of two long tracks, timed against the ffmpeg command line.
add_executable(bench_mixdown ${CMAKE_CURRENT_LIST_DIR}/mixdown.cpp)
target_link_libraries(bench_mixdown PRIVATE parlevox_capture PkgConfig::SNDFILE)
