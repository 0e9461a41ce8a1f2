# Cross build for 32-bit Windows: it must compile and link, which catches
# size and pointer assumptions; its tests are not run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUORVEL_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORVEL_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVEL_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVEL_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
