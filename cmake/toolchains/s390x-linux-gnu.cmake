# 64-bit IBM Z, a big-endian processor: proves that the output bytes do not
# depend on the host's byte order. Needs Debian's g++-s390x-linux-gnu and
# qemu-user.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QUORVEL_CROSS_TRIPLET s390x-linux-gnu)
set(QUORVEL_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
