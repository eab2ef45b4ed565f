# The installed package as a C host uses it: a C program built through
# pkg-config against the shared library and, statically, against libquorvel.a;
# and the source tree used as a subproject of another CMake project.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT CMAKE_CROSSCOMPILING)
  if(QUORVEL_INSTALL)
    add_test(NAME package.pkg_config
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh pkg-config ${PROJECT_SOURCE_DIR}
              ${PROJECT_BINARY_DIR} ${CMAKE_C_COMPILER} ${QUORVEL_SANITIZE})
    set_tests_properties(package.pkg_config PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
  endif()
  # The parent project builds Quorvel its own way, without this build's
  # sanitizers, so a sanitizer build would only repeat the release build's run.
  if(NOT QUORVEL_SANITIZE)
    add_test(NAME package.subproject
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh subproject ${PROJECT_SOURCE_DIR}
              ${PROJECT_BINARY_DIR} ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER} ${CMAKE_GENERATOR})
    set_tests_properties(package.subproject PROPERTIES TIMEOUT 300)
  endif()
endif()
