# A Visual Studio-style toolchain without Visual Studio, for the package tests: clang
# for *-pc-windows-msvc and lld-link. KWELMORA_HOST_ARCH is i686 or x86_64.
# There is no Windows SDK or C runtime here: CMake's compiler checks build static
# libraries only, and hosts link with /nodefaultlib and import libraries of their own.
set(CMAKE_SYSTEM_NAME Windows)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KWELMORA_HOST_ARCH)
if(KWELMORA_HOST_ARCH STREQUAL "i686")
  set(CMAKE_SYSTEM_PROCESSOR X86)
  set(CMAKE_C_COMPILER_TARGET i686-pc-windows-msvc)
elseif(KWELMORA_HOST_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
else()
  message(FATAL_ERROR "KWELMORA_HOST_ARCH must be i686 or x86_64, not '${KWELMORA_HOST_ARCH}'")
endif()
set(CMAKE_C_COMPILER clang)
set(CMAKE_LINKER lld-link)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# No SDK libraries to link by default either.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "no Windows SDK: hosts name their import libraries")
