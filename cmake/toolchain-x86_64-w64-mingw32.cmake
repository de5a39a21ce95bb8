# 64-bit Windows: the same sources, plus everything the tests run under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KWELMORA_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KWELMORA_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KWELMORA_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KWELMORA_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${KWELMORA_TRIPLET}-dlltool)
set(CMAKE_OBJDUMP ${KWELMORA_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KWELMORA_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Windows programs of this build run here under wine64; the top-level CMakeLists.txt
# points CMAKE_CROSSCOMPILING_EMULATOR at a wrapper that uses the build tree's prefix.
set(KWELMORA_RUNS_UNDER_WINE ON)
