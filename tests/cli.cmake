# The C++ API, the public headers on their own, the command line, the example
# C host and the installed package.
target_link_libraries(quorvel_tests PRIVATE quorvel_cpp)

# Each public header compiles alone: quorvel.h as C99 and as C++, decoder.hpp
# as C++. Building these programs is the test.
set(QUORVEL_HEADER_DIR ${CMAKE_CURRENT_BINARY_DIR}/headers)
file(WRITE ${QUORVEL_HEADER_DIR}/c_header.c "#include <quorvel/quorvel.h>\nint main(void) { Exit(); return 0; }\n")
file(WRITE ${QUORVEL_HEADER_DIR}/cpp_header.cpp "#include <quorvel/quorvel.h>\nint main() { Exit(); return 0; }\n")
file(WRITE ${QUORVEL_HEADER_DIR}/cpp_api_header.cpp
  "#include <quorvel/decoder.hpp>\nint main() { return quorvel::LibraryVersion()[0] ? 0 : 1; }\n")
add_executable(quorvel_header_c ${QUORVEL_HEADER_DIR}/c_header.c)
set_target_properties(quorvel_header_c PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_link_libraries(quorvel_header_c PRIVATE quorvel)
add_executable(quorvel_header_cpp ${QUORVEL_HEADER_DIR}/cpp_header.cpp)
target_link_libraries(quorvel_header_cpp PRIVATE quorvel)
add_executable(quorvel_header_cpp_api ${QUORVEL_HEADER_DIR}/cpp_api_header.cpp)
target_link_libraries(quorvel_header_cpp_api PRIVATE quorvel_cpp)
foreach(program quorvel_header_c quorvel_header_cpp quorvel_header_cpp_api)
  add_test(NAME headers.${program} COMMAND ${program})
endforeach()

# The example host, built as any user would build it against the shared library.
add_executable(quorvel_host ${PROJECT_SOURCE_DIR}/examples/host.c)
set_target_properties(quorvel_host PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_link_libraries(quorvel_host PRIVATE quorvel)

if(TARGET quorvel_cli)
  foreach(suite cli corpus package)
    add_test(NAME cli.${suite}
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cli_test.sh ${suite} $<TARGET_FILE:quorvel_cli>
              $<TARGET_FILE:quorvel_host> ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR} ${QUORVEL_SANITIZE})
    set_tests_properties(cli.${suite} PROPERTIES SKIP_RETURN_CODE 77
      ENVIRONMENT "QUORVEL_CORPUS_DEFAULT=${QUORVEL_CORPUS_DEFAULT}")
  endforeach()
  set_tests_properties(cli.package PROPERTIES TIMEOUT 300)
endif()
