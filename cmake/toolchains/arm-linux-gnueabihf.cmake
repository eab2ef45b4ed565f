# 32-bit ARM (ARMv7, hard float), the processor family of the library's home
# devices. Needs Debian's g++-arm-linux-gnueabihf and qemu-user.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUORVEL_CROSS_TRIPLET arm-linux-gnueabihf)
set(QUORVEL_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

# GCC notes that the passing of some structures changed in GCC 7.1; everything
# here is built by one compiler, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
