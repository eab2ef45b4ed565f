# The C++ API, the command line, the example host and the installed package.
target_link_libraries(quorvel_tests PRIVATE quorvel_cpp)
