# The fuzz harnesses built with the normal compiler, replaying the regression
# inputs and the synthetic, ISO and ISO Layer III streams of the corpus (when present) as
# ordinary tests, under the sanitizers in the sanitizer build.
if(DEFINED ENV{QUORVEL_CORPUS})
  set(quorvel_replay_corpus "$ENV{QUORVEL_CORPUS}")
else()
  set(quorvel_replay_corpus "${QUORVEL_CORPUS_DEFAULT}")
endif()
foreach(harness decoder_fuzzer cpp_api_fuzzer)
  add_executable(replay_${harness} ${PROJECT_SOURCE_DIR}/fuzz/${harness}.cpp ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
  target_link_libraries(replay_${harness} PRIVATE quorvel_internal quorvel_cpp)
  add_test(NAME replay.${harness}
           COMMAND replay_${harness} -max_len=16384 ${CMAKE_CURRENT_SOURCE_DIR}/regressions
                   ${quorvel_replay_corpus}/synth ${quorvel_replay_corpus}/iso ${quorvel_replay_corpus}/iso-layer3)
endforeach()

# The "nothing lost" tests feed the C++ API as well.
target_link_libraries(quorvel_tests PRIVATE quorvel_cpp)
