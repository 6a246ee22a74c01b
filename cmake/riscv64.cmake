# Debian's riscv64: RV64GC (no vector extension).
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(DECODE_TRIPLE riscv64-linux-gnu)
set(DECODE_QEMU qemu-riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
