# bench/echo: the echo canceller against the sound server's own, on one generated meeting.
add_library(bench_echomeeting STATIC ${CMAKE_CURRENT_LIST_DIR}/echomeeting.cpp)
target_link_libraries(bench_echomeeting PUBLIC parlevox_capture parlevox_testsupport Qt6::Test)
add_executable(bench_echo ${CMAKE_CURRENT_LIST_DIR}/echo.cpp)
target_link_libraries(bench_echo PRIVATE bench_echomeeting)
