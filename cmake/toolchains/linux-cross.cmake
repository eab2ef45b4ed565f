# Shared part of the Linux cross toolchains: the caller sets QUORVEL_CROSS_TRIPLET
# (a Debian cross compiler's prefix) and QUORVEL_CROSS_QEMU (the qemu user-mode
# emulator that runs the target's programs on this machine).
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${QUORVEL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVEL_CROSS_TRIPLET}-g++)

# Debian's cross packages install the target's libraries and headers here.
set(QUORVEL_CROSS_SYSROOT /usr/${QUORVEL_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${QUORVEL_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and the test discovery run the target's programs through the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVEL_CROSS_QEMU} -L ${QUORVEL_CROSS_SYSROOT})
