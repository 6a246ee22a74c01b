# Debian's armhf: 32-bit ARM with hardware floating point (no NEON).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(DECODE_TRIPLE arm-linux-gnueabihf)
set(DECODE_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
