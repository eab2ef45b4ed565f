# Resource limits: a test binary of its own, because it replaces the global
# allocator and wraps malloc, calloc and realloc to count every allocation
# the statically linked library makes. Linux only (GNU ld --wrap, rusage).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_executable(quorvel_resource_tests resource_limits.cpp)
  target_link_libraries(quorvel_resource_tests PRIVATE quorvel_test_support GTest::gtest GTest::gtest_main)
  target_link_options(quorvel_resource_tests PRIVATE -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc)
  if(TARGET quorvel_cli)
    target_compile_definitions(quorvel_resource_tests PRIVATE QUORVEL_CLI="$<TARGET_FILE:quorvel_cli>")
    add_dependencies(quorvel_resource_tests quorvel_cli)
  endif()
  gtest_discover_tests(quorvel_resource_tests DISCOVERY_TIMEOUT 60)
endif()
