# Cross build of quorvel.exe and its Wine-run tests for 64-bit Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUORVEL_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORVEL_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVEL_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVEL_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The entry symbol as the linker sees it (no leading underscore on x86-64).
set(QUORVEL_ENTRY_SYMBOL ProgramEntry)
set(QUORVEL_OBJDUMP ${QUORVEL_TRIPLET}-objdump)
