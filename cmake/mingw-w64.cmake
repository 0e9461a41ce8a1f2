# What both cross builds share, for the CMAKE_SYSTEM_PROCESSOR that the
# including toolchain file sets: the MinGW-w64 compilers of that processor
# (their POSIX-threads variant) and its own search root.
set(CMAKE_SYSTEM_NAME Windows)
set(QUORVEL_TRIPLET ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORVEL_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVEL_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVEL_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
