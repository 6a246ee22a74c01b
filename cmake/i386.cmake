# Debian's i386: 32-bit x86 (i686 without SSE2).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(DECODE_TRIPLE i686-linux-gnu)
set(DECODE_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
