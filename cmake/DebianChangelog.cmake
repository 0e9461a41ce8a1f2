# Run at install time (install(SCRIPT)): the changelog a Debian package
# must carry, one entry for the version installed, dated SOURCE_DATE_EPOCH
# when that is set (string(TIMESTAMP) reads it), so that two packages made
# from one commit are the same bytes. Needs QUORVEL_CHANGELOG_* set first.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${QUORVEL_CHANGELOG_FILE}
  "quorvel-cli (${QUORVEL_CHANGELOG_VERSION}) stable; urgency=medium\n\n"
  "  * quorvel-cli ${QUORVEL_CHANGELOG_VERSION}.\n\n"
  " -- ${QUORVEL_CHANGELOG_MAINTAINER}  ${date}\n")
execute_process(COMMAND gzip -9 -n -f ${QUORVEL_CHANGELOG_FILE} COMMAND_ERROR_IS_FATAL ANY)
file(INSTALL ${QUORVEL_CHANGELOG_FILE}.gz DESTINATION ${CMAKE_INSTALL_PREFIX}/share/doc/quorvel-cli
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
