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
