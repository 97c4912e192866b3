# bench/transcribe-start: time from transcribe(tracks) to the first upload bytes on a local server.
add_executable(bench_transcribe_start ${CMAKE_CURRENT_LIST_DIR}/transcribe-start.cpp
    ${PROJECT_SOURCE_DIR}/tests/transcription/fakegladia.cpp)
target_include_directories(bench_transcribe_start PRIVATE ${PROJECT_SOURCE_DIR}/tests/capture
    ${PROJECT_SOURCE_DIR}/tests/transcription ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(bench_transcribe_start PRIVATE parlevox_transcription parlevox_testsupport)
