# Read by cpack as it makes the Debian package: what the package says of
# the program is what the program's own help says it has. A quorvel-cli that
# mounts packs recommends FUSE's tools (fusermount3 unmounts), one that does
# not, nothing; the description ends with the commands, by their names.
execute_process(COMMAND ${CPACK_QUORVEL_CLI} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${CPACK_QUORVEL_CLI} --help exits with ${result}")
endif()
if(help MATCHES "\n  mount ")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fuse3)
endif()
if(NOT help MATCHES "\nSubcommands:\n(.*)")
  message(FATAL_ERROR "${CPACK_QUORVEL_CLI} --help names no command")
endif()
string(REGEX MATCHALL "(^|\n)  [a-z]+ " rows "${CMAKE_MATCH_1}")
set(commands "")
foreach(row IN LISTS rows)
  string(STRIP "${row}" command)
  list(APPEND commands ${command})
endforeach()
list(POP_BACK commands last)
list(JOIN commands ", " listed)
string(APPEND CPACK_DEBIAN_PACKAGE_DESCRIPTION "\n.\nIts commands: ${listed} and ${last}.")
