# 32-bit Windows: the product DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KWELMORA_TRIPLET i686-w64-mingw32)

# The -posix compilers: the -win32 ones of GCC 12 have no std::mutex.
set(CMAKE_C_COMPILER ${KWELMORA_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KWELMORA_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KWELMORA_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${KWELMORA_TRIPLET}-dlltool)
set(CMAKE_OBJDUMP ${KWELMORA_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KWELMORA_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# 32-bit Windows programs of this build run here under Debian 12's Wine 8 with its
# 32-bit side, from a chroot (scripts/wine-root.sh wine8-i386); cmake/Wine.cmake
# points CMAKE_CROSSCOMPILING_EMULATOR at the wrapper that enters it.
set(KWELMORA_RUNS_UNDER_WINE ON)
