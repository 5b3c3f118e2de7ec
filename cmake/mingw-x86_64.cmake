# mingw-x86_64.cmake -- cross-compiles the same sources for 64-bit Windows.
# It never ships: the Windows test leg uses it on machines that cannot run
# 32-bit programs, so the Windows code paths are still tested under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PEERDIR_MINGW_PREFIX x86_64-w64-mingw32)
set(PEERDIR_WINE_LAUNCHER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
