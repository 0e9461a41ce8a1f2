# quorvel.exe and its Wine-run tests (MinGW-w64 cross build).
# No link time in the PE header: the same sources give the same program bytes.
add_link_options(-Wl,--no-insert-timestamp)
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")
set(CMAKE_RC_COMPILE_OBJECT
    "<CMAKE_RC_COMPILER> <DEFINES> <INCLUDES> <FLAGS> -O coff <SOURCE> <OBJECT>")

set(QUORVEL_SOURCES
  ${QUORVEL_PORTABLE_SOURCES}
  support/about.cpp
  support/help.cpp
  support/on_demand_dlls.cpp
  pack/open_pack.cpp
  pack/extract_entry.cpp
  shell/app_state.cpp
  support/status.cpp
  shell/main_window.cpp
  shell/layout.cpp
  shell/commands.cpp
  shell/selection.cpp
  shell/program_entry.cpp
  extract/extraction_queue.cpp
  extract/extraction_commands.cpp
  preview/preview_folder.cpp
  preview/preview.cpp
  preview/zone_mark.cpp
  preview/delete_tree.cpp)
set(QUORVEL_RESOURCE_SCRIPT ${CMAKE_SOURCE_DIR}/resources/quorvel.rc)
# The version block takes its file version from project(): one place for it.
set_source_files_properties(${QUORVEL_RESOURCE_SCRIPT} PROPERTIES COMPILE_DEFINITIONS
  "QUORVEL_VERSION_MAJOR=${PROJECT_VERSION_MAJOR};QUORVEL_VERSION_MINOR=${PROJECT_VERSION_MINOR};QUORVEL_VERSION_PATCH=${PROJECT_VERSION_PATCH};QUORVEL_VERSION_TWEAK=${PROJECT_VERSION_TWEAK}")
set(QUORVEL_SYSTEM_LIBRARIES
  kernel32 user32 gdi32 comctl32 comdlg32 shell32 ole32 advapi32 version)
set(QUORVEL_DEFINITIONS UNICODE_NOT_USED _WIN32_WINNT=0x0601 WINVER=0x0601 _WIN32_IE=0x0600 NOMINMAX)
# Freestanding: no run time, no exceptions, no type information, no
# unwinding tables; the program's own code may call nothing it does not link.
set(QUORVEL_FREESTANDING_FLAGS
  -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-stack-protector -fno-threadsafe-statics -fno-builtin -O2)

function(quorvel_core_library name)
  add_library(${name} STATIC ${QUORVEL_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PUBLIC ${QUORVEL_DEFINITIONS})
  target_compile_options(${name} PRIVATE ${QUORVEL_FREESTANDING_FLAGS} ${QUORVEL_CHARSET_FLAGS} ${QUORVEL_WARNINGS})
endfunction()

quorvel_core_library(quorvel_core)

# Entry symbols as the linker sees them: 32-bit x86 gives C names a leading
# underscore, x86-64 and ARM64 do not (given without it, the 32-bit linker
# warns and starts the program at the beginning of its code). Taken from the
# target, not from a toolchain file, so that any MinGW-w64 configuration
# links a program that starts where it should.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QUORVEL_C_SYMBOL_PREFIX _)
else()
  set(QUORVEL_C_SYMBOL_PREFIX "")
endif()
set(QUORVEL_ENTRY_SYMBOL ${QUORVEL_C_SYMBOL_PREFIX}ProgramEntry)

add_executable(quorvel WIN32 support/builtin_memory.cpp ${QUORVEL_RESOURCE_SCRIPT})
target_link_libraries(quorvel PRIVATE quorvel_core)
target_compile_options(quorvel PRIVATE ${QUORVEL_FREESTANDING_FLAGS})
set_target_properties(quorvel PROPERTIES LINKER_LANGUAGE CXX)
# The whole program, then the system DLLs, then the compiler's own helpers
# (___chkstk_ms and the like): no C or C++ run-time library at all.
target_link_options(quorvel PRIVATE -nostdlib -nostartfiles -Wl,-e,${QUORVEL_ENTRY_SYMBOL}
                    -Wl,--subsystem,windows -s)
target_link_libraries(quorvel PRIVATE ${QUORVEL_SYSTEM_LIBRARIES} gcc)

include(cmake/Help.cmake)

if(QUORVEL_TESTS)
  include(cmake/WineTests.cmake)
endif()
