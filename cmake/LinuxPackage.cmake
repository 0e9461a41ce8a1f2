# quorvel-cli as a Linux user installs it: the program, its manual page made
# from its own --help, its bash completion and the licence, installed by
# `cmake --install` and made into a Debian package by CPack
# (`cpack -G DEB --config CPackConfig.cmake`; scripts/package.sh does that).
# Included from cli/ on Linux.

find_program(QUORVEL_HELP2MAN help2man)
find_program(QUORVEL_GZIP gzip)
find_package(Python3 COMPONENTS Interpreter)
set(QUORVEL_CLI_MANUAL ${CMAKE_CURRENT_BINARY_DIR}/quorvel-cli.1)
if(QUORVEL_HELP2MAN AND QUORVEL_GZIP AND Python3_Interpreter_FOUND)
  # Made again whenever the program is linked, so that it always says what
  # the program's help says; dated SOURCE_DATE_EPOCH when that is set.
  add_custom_command(OUTPUT ${QUORVEL_CLI_MANUAL} ${QUORVEL_CLI_MANUAL}.gz
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/cli_manual.py page
            $<TARGET_FILE:quorvel-cli> ${CMAKE_SOURCE_DIR}/cli/quorvel-cli.h2m ${QUORVEL_CLI_MANUAL}
    COMMAND ${QUORVEL_GZIP} -9 -n -k -f ${QUORVEL_CLI_MANUAL}
    DEPENDS quorvel-cli ${CMAKE_SOURCE_DIR}/tools/cli_manual.py ${CMAKE_SOURCE_DIR}/cli/quorvel-cli.h2m
    COMMENT "quorvel-cli.1 from quorvel-cli --help")
  add_custom_target(quorvel_cli_manual ALL DEPENDS ${QUORVEL_CLI_MANUAL} ${QUORVEL_CLI_MANUAL}.gz)
  install(FILES ${QUORVEL_CLI_MANUAL}.gz DESTINATION share/man/man1)
else()
  message(STATUS "quorvel-cli: no manual page without help2man, gzip and Python 3")
endif()

# Completion, each where its shell looks for what packages install.
install(FILES ${CMAKE_SOURCE_DIR}/cli/quorvel-cli.bash
        DESTINATION share/bash-completion/completions RENAME quorvel-cli)
install(FILES ${CMAKE_SOURCE_DIR}/cli/quorvel-cli.zsh
        DESTINATION share/zsh/vendor-completions RENAME _quorvel-cli)
install(FILES ${CMAKE_SOURCE_DIR}/cli/quorvel-cli.fish DESTINATION share/fish/vendor_completions.d)

# The pack the manual's examples run on, written by the pack writer: the
# same bytes in every build.
set(QUORVEL_DEMO_PACK ${CMAKE_CURRENT_BINARY_DIR}/demo.pak)
add_custom_command(OUTPUT ${QUORVEL_DEMO_PACK}
  COMMAND pakwriter --demo ${QUORVEL_DEMO_PACK}
  DEPENDS pakwriter
  COMMENT "demo.pak for quorvel-cli's examples")
add_custom_target(quorvel_cli_demo ALL DEPENDS ${QUORVEL_DEMO_PACK})
install(FILES ${QUORVEL_DEMO_PACK} DESTINATION share/doc/quorvel-cli/examples)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION share/doc/quorvel-cli RENAME copyright)
set(QUORVEL_CLI_MAINTAINER "quorvel authors <quorvel@example.org>")
install(CODE "set(QUORVEL_CHANGELOG_FILE \"${CMAKE_CURRENT_BINARY_DIR}/changelog\")
  set(QUORVEL_CHANGELOG_VERSION \"${PROJECT_VERSION}\")
  set(QUORVEL_CHANGELOG_MAINTAINER \"${QUORVEL_CLI_MAINTAINER}\")")
install(SCRIPT ${CMAKE_SOURCE_DIR}/cmake/DebianChangelog.cmake)

if(QUORVEL_TESTS)
  add_test(NAME cli_completion
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/completion_test.sh
            $<TARGET_FILE:quorvel-cli> ${CMAKE_SOURCE_DIR}/cli/quorvel-cli.bash
            ${CMAKE_SOURCE_DIR}/cli/quorvel-cli.zsh ${CMAKE_SOURCE_DIR}/cli/quorvel-cli.fish)
  if(TARGET quorvel_cli_manual)
    add_test(NAME cli_manual
      COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/manual_test.sh
              $<TARGET_FILE:quorvel-cli> ${QUORVEL_CLI_MANUAL})
    # The examples of the manual page and the README, run as shown.
    add_test(NAME cli_examples
      COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/package/examples_test.py
              $<TARGET_FILE:quorvel-cli> ${QUORVEL_DEMO_PACK} ${QUORVEL_CLI_MANUAL} ${CMAKE_SOURCE_DIR}/README.md)
    set_tests_properties(cli_examples PROPERTIES
      ENVIRONMENT "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1;ASAN_OPTIONS=detect_leaks=0")
  endif()
  # Each Tab runs the program two or three times: the leak check at every
  # exit would double the test's time and find nothing cli_test does not.
  set_tests_properties(cli_completion PROPERTIES
    ENVIRONMENT "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1;ASAN_OPTIONS=detect_leaks=0")
endif()

# The Debian package. Its Depends come from what the program links
# (dpkg-shlibdeps); its Recommends from what the program's help offers, read
# when the package is made (cmake/DebianRecommends.cmake).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel-cli)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT ${QUORVEL_CLI_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list, extract, check and write quorvel's .pak game data packs")
# The description's last paragraph, its commands, is added from the
# program's help when the package is made (cmake/DebianRecommends.cmake).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "quorvel-cli is the command-line companion of quorvel, the pack viewer for
Windows: it reads and writes quorvel's .pak game data packs from a terminal
or a script, with names in UTF-8. It never changes a pack in place; a pack
is replaced only all at once by a complete new one.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The program is stripped when it is linked, as Debian strips (the
# linux-release preset); strip(1) again would leave .comment in.
set(CPACK_STRIP_FILES OFF)
set(CPACK_QUORVEL_CLI ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/quorvel-cli)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/DebianRecommends.cmake)
include(CPack)
