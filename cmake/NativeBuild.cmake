# The portable part of quorvel (no window headers), built and tested on Linux.
add_library(quorvel_portable STATIC
  support/text.cpp
  support/entry_name.cpp
  pack/directory.cpp
  shell/command_line.cpp)
target_include_directories(quorvel_portable PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(quorvel_portable PRIVATE ${QUORVEL_CHARSET_FLAGS} ${QUORVEL_WARNINGS})


if(QUORVEL_TESTS)
  add_executable(native_tests
    tests/native/text_test.cpp
    tests/native/entry_name_test.cpp
    tests/native/directory_test.cpp
    tests/native/command_line_test.cpp)
  target_compile_options(native_tests PRIVATE ${QUORVEL_CHARSET_FLAGS})
  target_link_libraries(native_tests PRIVATE quorvel_portable pack_writer gtest_main)
  add_test(NAME native_tests COMMAND native_tests)
  set_tests_properties(native_tests PROPERTIES
    ENVIRONMENT "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1;ASAN_OPTIONS=detect_leaks=1")

  # The help file, compiled as quorvel.exe's build compiles it, and checked
  # by its directory: every topic, the contents, the index, Japanese.
  find_program(CHMCMD chmcmd)
  if(CHMCMD)
    file(GLOB_RECURSE QUORVEL_HELP_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/help/*)
    set(QUORVEL_NATIVE_CHM ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/quorvel.chm)
    add_custom_command(
      OUTPUT ${QUORVEL_NATIVE_CHM}
      COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/build_help.sh ${CMAKE_SOURCE_DIR}/help ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
      DEPENDS ${QUORVEL_HELP_SOURCES} ${CMAKE_SOURCE_DIR}/scripts/build_help.sh
      COMMENT "Compiling quorvel.chm")
    add_custom_target(quorvel_help ALL DEPENDS ${QUORVEL_NATIVE_CHM})
    add_executable(chm_contents_test tests/native/chm_contents_test.cpp)
    target_link_libraries(chm_contents_test PRIVATE gtest)
    add_dependencies(chm_contents_test quorvel_help)
    add_test(NAME chm_contents_test COMMAND chm_contents_test ${QUORVEL_NATIVE_CHM})
  endif()
endif()

# libFuzzer target for the pack directory decoder; needs clang, and only this
# target is built in such a tree (the rest wants GCC's code page 932 literals):
#   cmake -S . -B build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
#         -DQUORVEL_FUZZ=ON -DQUORVEL_TESTS=OFF
#   cmake --build build/fuzz --target directory_fuzzer
#   mkdir -p build/fuzz/corpus   (new inputs go there; tests/fuzz/corpus stays as committed)
#   build/fuzz/bin/directory_fuzzer -max_total_time=30 -artifact_prefix=build/fuzz/ build/fuzz/corpus tests/fuzz/corpus
option(QUORVEL_FUZZ "Native build with clang: the libFuzzer target directory_fuzzer" OFF)
if(QUORVEL_FUZZ)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_executable(directory_fuzzer
      tests/fuzz/directory_fuzzer.cpp
      pack/directory.cpp
      support/text.cpp
      support/entry_name.cpp)
    target_include_directories(directory_fuzzer PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_options(directory_fuzzer PRIVATE
      -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined ${QUORVEL_WARNINGS})
    target_link_options(directory_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
  else()
    message(WARNING "QUORVEL_FUZZ needs clang (CMAKE_CXX_COMPILER=clang++); directory_fuzzer is not built")
  endif()
endif()
