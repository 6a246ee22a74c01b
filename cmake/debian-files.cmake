# Run by CPack on the staged tree before it is packed: what Debian asks of a
# package beyond the installed files. Programs are stripped, manual pages are
# compressed, and the copyright file (machine-readable, from LICENSE) and a
# changelog of this release go into the package's documentation directory.
# gzip -n and fixed modes keep the package reproducible: the archive takes
# each member's mode from the staged tree, whose directories the umask made.
set(root "${CPACK_TEMPORARY_DIRECTORY}")
# Programs lose their symbols and the sections that only the build needed,
# as dh_strip does.
file(GLOB programs "${root}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*")
foreach(program IN LISTS programs)
  execute_process(COMMAND ${CPACK_DECODE_STRIP} --remove-section=.comment --remove-section=.note
                          "${program}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(GLOB_RECURSE pages "${root}/*.[1-9]")
list(FILTER pages INCLUDE REGEX "/man/man[1-9]/[^/]+$")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

set(doc "${root}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")

file(READ "${CPACK_DECODE_SOURCE_DIR}/LICENSE" license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" holders "${license}")
set(holders "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" license "${license}")
string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
string(REGEX REPLACE "\n$" "" license "${license}")
string(REPLACE "\n" "\n " license " ${license}")
file(WRITE "${doc}/copyright" "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}

Files: *
Copyright: ${holders}
License: Expat
${license}
")

string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${CPACK_DECODE_SOURCE_DIR}/cmake/changelog.in" "${doc}/changelog" @ONLY)
execute_process(COMMAND gzip -9nf "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)

# Every member's mode, whatever the umask: 0755 for directories and
# programs, 0644 for the rest.
file(GLOB_RECURSE members LIST_DIRECTORIES true "${root}/*")
foreach(member IN LISTS members)
  list(FIND programs "${member}" program)
  if(IS_DIRECTORY "${member}" OR program GREATER -1)
    file(CHMOD "${member}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                       WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD "${member}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
