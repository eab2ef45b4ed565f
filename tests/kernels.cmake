# The corpus tests, of both tiers, once more with each kernel level forced (see
# tests/kernels_test.cpp): the plain C++ paths, and on x86 SSE4.1 where AVX2
# would otherwise be chosen (ARM has NEON alone, the level its default run
# takes). A level the processor lacks falls back to the next one; a build
# without instruction-set kernels (QUORVEL_SIMD=OFF) has only the plain level
# to force.
set(QUORVEL_FORCED_LEVELS plain)
if(QUORVEL_SIMD AND NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|aarch64)")
  list(APPEND QUORVEL_FORCED_LEVELS sse4.1)
endif()
foreach(level ${QUORVEL_FORCED_LEVELS})
  add_test(NAME corpus_with_${level}_kernels
           COMMAND quorvel_tests --gtest_filter=Golden.*:Conformance.*:Kernels.*:FullAccuracy.*)
  # Without the corpus the run would pass on the kernel tests alone: it skips.
  set_tests_properties(corpus_with_${level}_kernels PROPERTIES
    ENVIRONMENT "QUORVEL_KERNELS=${level};QUORVEL_REQUIRE_CORPUS=1" SKIP_RETURN_CODE 77)
endforeach()
