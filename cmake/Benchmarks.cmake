# Benchmarks print figures and ratios measured in the same run; they are
# never tests. scripts/bench.sh runs them under Wine.
file(GLOB QUORVEL_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/bench/*_bench.cpp)
foreach(source ${QUORVEL_BENCH_SOURCES})
  get_filename_component(stem ${source} NAME_WE)
  add_executable(${stem} ${source} ${QUORVEL_RESOURCE_SCRIPT})
  target_compile_options(${stem} PRIVATE ${QUORVEL_CHARSET_FLAGS})
  # The benchmarks link the same harness as the tests but bring their own main.
  target_link_libraries(${stem} PRIVATE quorvel_core pack_writer wine_bench_support ${QUORVEL_SYSTEM_LIBRARIES})
  target_link_options(${stem} PRIVATE -static -static-libgcc -static-libstdc++)
endforeach()

# The bare window program that the start-up figure compares against.
add_executable(bare_window WIN32 tests/bench/bare_window.cpp support/builtin_memory.cpp)
target_compile_options(bare_window PRIVATE ${QUORVEL_FREESTANDING_FLAGS})
target_link_options(bare_window PRIVATE -nostdlib -nostartfiles
                    -Wl,-e,${QUORVEL_C_SYMBOL_PREFIX}BareEntry
                    -Wl,--subsystem,windows -s)
target_link_libraries(bare_window PRIVATE kernel32 user32 gdi32 gcc)
if(TARGET startup_bench)
  add_dependencies(startup_bench bare_window quorvel)
endif()
