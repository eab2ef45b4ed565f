# quorvel_pcm_md5 (pcm_md5.cpp): the full tier's PCM MD5 of given streams, for
# scripts/cross-check.sh to compare between kernel levels and processors. It is
# built with the tests because the cross builds have no command line.
add_executable(quorvel_pcm_md5 pcm_md5.cpp ${PROJECT_SOURCE_DIR}/src/cli/md5.cpp)
target_link_libraries(quorvel_pcm_md5 PRIVATE quorvel_cpp quorvel_internal)

if(TARGET quorvel_cli)
  add_test(NAME pcm_md5.matches_cli
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/pcm_md5_test.sh $<TARGET_FILE:quorvel_pcm_md5> $<TARGET_FILE:quorvel_cli>)
  set_tests_properties(pcm_md5.matches_cli PROPERTIES SKIP_RETURN_CODE 77
    ENVIRONMENT "QUORVEL_CORPUS_DEFAULT=${QUORVEL_CORPUS_DEFAULT}")
endif()
