# bench/live-transcript: a generated hour through LiveFeed and LiveTranscription into the live
# service stand-in: the wait after the stop, utterances lost, CPU.
add_executable(bench_live_transcript ${CMAKE_CURRENT_LIST_DIR}/live-transcript.cpp
    ${PROJECT_SOURCE_DIR}/tests/transcription/fakelive.cpp
    ${PROJECT_SOURCE_DIR}/tests/transcription/fakelive.h)
target_include_directories(bench_live_transcript PRIVATE ${PROJECT_SOURCE_DIR}/tests/transcription)
target_link_libraries(bench_live_transcript PRIVATE parlevox_transcription parlevox_capture
    parlevox_testsupport Qt6::WebSockets)
