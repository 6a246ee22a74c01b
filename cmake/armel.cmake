# Debian's armel: 32-bit ARM, soft float (ARMv5TE, no NEON).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(DECODE_TRIPLE arm-linux-gnueabi)
set(DECODE_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
