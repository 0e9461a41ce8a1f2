# The portable part of quorvel (no window headers), built and tested on Linux.
# The pack format comes from its own library, shared with the pack writer.
set(QUORVEL_NATIVE_SOURCES ${QUORVEL_PORTABLE_SOURCES})
list(REMOVE_ITEM QUORVEL_NATIVE_SOURCES pack/directory.cpp)
add_library(quorvel_portable STATIC ${QUORVEL_NATIVE_SOURCES})
target_include_directories(quorvel_portable PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(quorvel_portable PUBLIC quorvel_pack_format)
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
  include(cmake/Help.cmake)
  if(TARGET quorvel_help)
    add_executable(chm_contents_test tests/native/chm_contents_test.cpp)
    target_link_libraries(chm_contents_test PRIVATE gtest)
    add_dependencies(chm_contents_test quorvel_help)
    add_test(NAME chm_contents_test COMMAND chm_contents_test ${QUORVEL_HELP_FILE})
  endif()
endif()

# libFuzzer target for the pack directory decoder (preset "fuzz": clang, and
# only this target is built in such a tree, since the rest wants GCC's code
# page 932 literals). Its test runs it for a bounded time on the corpus kept
# in the repository, which stays as committed: new inputs and any crashing
# input go into the build tree. scripts/test.sh runs it where clang is.
option(QUORVEL_FUZZ "Native build with clang: the libFuzzer target directory_fuzzer" OFF)
set(QUORVEL_FUZZ_SECONDS 60 CACHE STRING "How long the fuzzer's test runs")
if(QUORVEL_FUZZ)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_executable(directory_fuzzer tests/fuzz/directory_fuzzer.cpp ${QUORVEL_PORTABLE_SOURCES})
    target_include_directories(directory_fuzzer PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_options(directory_fuzzer PRIVATE
      -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined ${QUORVEL_WARNINGS})
    target_link_options(directory_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
    enable_testing()
    set(QUORVEL_FUZZ_WORK ${CMAKE_BINARY_DIR}/fuzz)
    file(MAKE_DIRECTORY ${QUORVEL_FUZZ_WORK}/corpus)
    add_test(NAME directory_fuzzer
      COMMAND directory_fuzzer -max_total_time=${QUORVEL_FUZZ_SECONDS} -print_final_stats=1
              -artifact_prefix=${QUORVEL_FUZZ_WORK}/ ${QUORVEL_FUZZ_WORK}/corpus ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus)
    set_tests_properties(directory_fuzzer PROPERTIES
      TIMEOUT 600 ENVIRONMENT "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1")
  else()
    message(WARNING "QUORVEL_FUZZ needs clang (CMAKE_CXX_COMPILER=clang++); directory_fuzzer is not built")
  endif()
endif()
