# mingw-i686.cmake -- cross-compiles peerdir for 32-bit Windows with mingw-w64:
# the build that ships.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PEERDIR_MINGW_PREFIX i686-w64-mingw32)
set(PEERDIR_WINE_LAUNCHER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
