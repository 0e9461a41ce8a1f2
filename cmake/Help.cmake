# The help file, compiled from the topics under help/ and put beside the
# program, where chmcmd is available: the target quorvel_help, the file
# QUORVEL_HELP_FILE.
find_program(CHMCMD chmcmd)
if(CHMCMD)
  file(GLOB_RECURSE QUORVEL_HELP_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/help/*)
  set(QUORVEL_HELP_FILE ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/quorvel.chm)
  add_custom_command(
    OUTPUT ${QUORVEL_HELP_FILE}
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/build_help.sh ${CMAKE_SOURCE_DIR}/help ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
    DEPENDS ${QUORVEL_HELP_SOURCES} ${CMAKE_SOURCE_DIR}/scripts/build_help.sh
    COMMENT "Compiling quorvel.chm")
  add_custom_target(quorvel_help ALL DEPENDS ${QUORVEL_HELP_FILE})
endif()
