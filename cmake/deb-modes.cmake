# Run by CPack on each package it has made. The modes in a .deb's ar headers
# are those of CPack's own files on disk, and so follow the umask; they are
# set to 0644, as dpkg-deb sets them, so that any umask gives the same bytes.
set(mode "${CPACK_TOPLEVEL_DIRECTORY}/ar-mode")
file(WRITE "${mode}" "100644  ")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(SIZE "${package}" size)
  set(at 8) # past the archive's "!<arch>\n"
  while(at LESS size)
    # A member's header: name 16, date 12, owner 6, group 6, mode 8, size 10.
    file(READ "${package}" header OFFSET ${at} LIMIT 60)
    string(SUBSTRING "${header}" 48 10 member)
    string(STRIP "${member}" member)
    math(EXPR mode_at "${at} + 40")
    execute_process(COMMAND dd "if=${mode}" "of=${package}" bs=1 seek=${mode_at} conv=notrunc status=none
                    COMMAND_ERROR_IS_FATAL ANY)
    math(EXPR at "${at} + 60 + ${member} + ${member} % 2")
  endwhile()
endforeach()
file(REMOVE "${mode}")
