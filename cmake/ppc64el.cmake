# Debian's ppc64el: 64-bit POWER8 and later, little-endian (AltiVec and VSX).
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(DECODE_TRIPLE powerpc64le-linux-gnu)
set(DECODE_QEMU qemu-ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
