# mingw-common.cmake -- what the two mingw-w64 toolchain files share. Each
# sets PEERDIR_MINGW_PREFIX and CMAKE_SYSTEM_PROCESSOR, then includes this.
#
# The -posix flavour of the compilers is used because its C++ runtime has
# std::mutex and std::thread (the test support needs them); the win32 flavour
# lacks them. Everything is linked statically so peerdir.exe and the test
# executable run on a bare Windows (or Wine) without mingw's DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${PEERDIR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PEERDIR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PEERDIR_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PEERDIR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# add_test runs the Windows executables through Wine, with the loader that
# matches the build: Debian's plain `wine` launcher always takes the 32-bit
# loader when it is installed, so a 64-bit build is started by wine64 itself.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PEERDIR_WINE_LAUNCHER})
