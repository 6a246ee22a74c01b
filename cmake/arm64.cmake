# Debian's arm64: 64-bit ARM.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(DECODE_TRIPLE aarch64-linux-gnu)
set(DECODE_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
