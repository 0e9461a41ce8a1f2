# Read by cpack as it makes the Debian package: a quorvel-cli that mounts
# packs recommends FUSE's tools (fusermount3 unmounts), one that does not,
# nothing. The program's own help says which it is.
execute_process(COMMAND ${CPACK_QUORVEL_CLI} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${CPACK_QUORVEL_CLI} --help exits with ${result}")
endif()
if(help MATCHES "\n  mount ")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fuse3)
endif()
