# Debian's s390x: 64-bit IBM Z, big-endian (no vector facility).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(DECODE_TRIPLE s390x-linux-gnu)
set(DECODE_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
