# bench/hostile-answers: memory while refusing 1 GiB answers, time to give up on a dripping server.
add_executable(bench_hostile_answers ${CMAKE_CURRENT_LIST_DIR}/hostile-answers.cpp)
target_include_directories(bench_hostile_answers PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(bench_hostile_answers PRIVATE
    parlevox_agent parlevox_transcription parlevox_testsupport)
