# The corpus tests once more with each kernel level forced (see
# tests/kernels_test.cpp): the plain C++ paths, and SSE4.1 where AVX2 would
# otherwise be chosen. A level the processor lacks falls back to the next one.
foreach(level plain sse4.1)
  add_test(NAME corpus_with_${level}_kernels
           COMMAND quorvel_tests --gtest_filter=Golden.*:Conformance.*:Kernels.*)
  # Without the corpus the run would pass on the kernel tests alone: it skips.
  set_tests_properties(corpus_with_${level}_kernels PROPERTIES
    ENVIRONMENT "QUORVEL_KERNELS=${level};QUORVEL_REQUIRE_CORPUS=1" SKIP_RETURN_CODE 77)
endforeach()
