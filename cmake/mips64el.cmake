# Debian's mips64el: 64-bit MIPS, little-endian (no MSA).
set(CMAKE_SYSTEM_PROCESSOR mips64el)
set(DECODE_TRIPLE mips64el-linux-gnuabi64)
set(DECODE_QEMU qemu-mips64el)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
