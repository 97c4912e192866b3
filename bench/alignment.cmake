# bench/alignment: how closely the two recorded tracks line up after their offsets.
add_executable(bench_alignment ${CMAKE_CURRENT_LIST_DIR}/alignment.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/pulseserver.cpp)
target_include_directories(bench_alignment PRIVATE
    ${PROJECT_SOURCE_DIR}/tests/capture ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(bench_alignment PRIVATE parlevox_capture Qt6::Network PkgConfig::SNDFILE)
