# 64-bit ARM (AArch64), where NEON is part of every core: the NEON kernels
# are the default level there. Needs Debian's g++-aarch64-linux-gnu and
# qemu-user.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUORVEL_CROSS_TRIPLET aarch64-linux-gnu)
set(QUORVEL_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

# GCC notes that the passing of some structures changed in GCC 9 and 10;
# everything here is built by one compiler, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
