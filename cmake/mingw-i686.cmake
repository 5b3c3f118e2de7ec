# mingw-i686.cmake -- cross-compiles peerdir for 32-bit Windows with mingw-w64.
#
# The -posix flavour of the compilers is used because its C++ runtime has
# std::mutex and std::thread (the test support needs them); the win32 flavour
# lacks them. Everything is linked statically so peerdir.exe and the test
# executable run on a bare Windows (or Wine) without mingw's DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(PEERDIR_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${PEERDIR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PEERDIR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PEERDIR_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PEERDIR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# add_test runs the Windows executables through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
