# Shared by the toolchain files beside it, each of which names a Debian
# architecture's GNU triple and its qemu-user command: builds with Debian's
# cross compiler, and runs what it built (tests, and the program they start)
# under qemu-user with that architecture's libraries, so that no binfmt_misc
# registration is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${DECODE_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${DECODE_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${DECODE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${DECODE_QEMU} -L /usr/${DECODE_TRIPLE})
