# Cross build for 32-bit Windows: it must compile and link, which catches
# size and pointer assumptions; its tests are not run.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
