# The library's public surface: the shared library exports exactly the six
# calls and the two CQuorvel members, and the public header compiles on its own
# as C and as C++, with the calls linking by their plain names.

if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_NM)
  add_test(NAME exports.symbols
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/exports_check.sh ${CMAKE_NM} $<TARGET_FILE:quorvel>)
endif()

# One consumer in each language: the header is the first and only include of
# the library, and the program links against the shared library alone.
set(QUORVEL_HEADER_CHECK [=[
#include "quorvel/quorvel.h"

#include <stddef.h>

int main(void) {
  uint8_t byte = 0;
  int32_t rate = 0, channels = 0, bitrate = 0, outBytes = -1, streamPos = -1;
  Init(0, NULL);
  if (GetHeaderInfo(&byte, 0, &rate, &channels, &bitrate) != QUORVEL_BUFFER_DONE) return 1;
  if (DecompressAudio(NULL, 0, NULL, 0, &outBytes, &streamPos) != QUORVEL_NEED_BUFFER || outBytes != 0) return 2;
  SeekStart();
  SeekEnd();
  Exit();
  CHECK_CLASS
  return 0;
}
]=])
foreach(lang C CXX)
  if(lang STREQUAL "C")
    set(ext c)
    set(CHECK_CLASS "")
  else()
    set(ext cpp)
    set(CHECK_CLASS "CQuorvel a, b; a = b; (void)a;")
  endif()
  string(REPLACE "CHECK_CLASS" "${CHECK_CLASS}" source "${QUORVEL_HEADER_CHECK}")
  set(file ${CMAKE_CURRENT_BINARY_DIR}/header_check.${ext})
  file(CONFIGURE OUTPUT ${file} CONTENT "${source}" @ONLY)
  add_executable(quorvel_header_check_${ext} ${file})
  target_link_libraries(quorvel_header_check_${ext} PRIVATE quorvel)
  # The oldest dialects a host may use, strictly: the header must not lean on
  # extensions or on anything newer.
  set_target_properties(quorvel_header_check_${ext} PROPERTIES
    C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF
    CXX_STANDARD 11 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
  if(CMAKE_${lang}_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(quorvel_header_check_${ext} PRIVATE -Werror)
  endif()
  add_test(NAME exports.header_${ext} COMMAND quorvel_header_check_${ext})
endforeach()
