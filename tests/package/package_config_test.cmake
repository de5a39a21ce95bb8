# The CMake package of one build, as find_package sees it. This build is installed
# alone into a fresh folder (an archive with only its bitness), and the host project
# of cmake_host/ is configured against it, one case a row:
#   - a host of this bitness, MinGW: the DLL, libKwelmora.dll.a and the header, at
#     the version asked for, and the simulator DLL as a target of its own;
#   - a host of this bitness, Visual Studio-style: Kwelmora.lib;
#   - a host of the other bitness: NOT FOUND, and the message names the missing build;
#   - a later major version asked for: refused.
#
#   cmake -DBUILD_DIR=... -DHOST_DIR=... -DWORK_DIR=... -DARCH=i686|x86_64
#         -DVERSION=x.y.z -DTOOLCHAIN_DIR=<cmake/> -DMSVC_TOOLCHAIN=... -P package_config_test.cmake
cmake_minimum_required(VERSION 3.25)

if(ARCH STREQUAL "i686")
  set(bits 32)
  set(other_arch x86_64)
  set(other_bits 64)
else()
  set(bits 64)
  set(other_arch i686)
  set(other_bits 32)
endif()
set(dir win${bits})
set(prefix ${WORK_DIR}/kwelmora)
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)" major_minor "${VERSION}")
math(EXPR next_major "${CMAKE_MATCH_1} + 1")

file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install of ${BUILD_DIR} failed:\n${out}")
endif()

set(mingw_this ${TOOLCHAIN_DIR}/toolchain-${ARCH}-w64-mingw32.cmake)
set(mingw_other ${TOOLCHAIN_DIR}/toolchain-${other_arch}-w64-mingw32.cmake)

# name | toolchain | host arch for the MSVC toolchain | version asked | ok or refused |
# texts the output must hold, separated by '^'
set(cases
  "a ${bits}-bit MinGW host: the ${dir} DLL, libKwelmora.dll.a and the header, and the simulator as a target of its own|${mingw_this}||${major_minor}|ok|Kwelmora ${VERSION} from^IMPORTED_LOCATION=${prefix}/${dir}/Kwelmora.dll^IMPORTED_IMPLIB=${prefix}/${dir}/libKwelmora.dll.a^INTERFACE_INCLUDE_DIRECTORIES=${prefix}/include^Kwelmora::Simulator IMPORTED_LOCATION=${prefix}/${dir}/simulator/Kwelmora.dll^Kwelmora::Simulator IMPORTED_IMPLIB=${prefix}/${dir}/libKwelmora.dll.a"
  "a ${bits}-bit Visual Studio-style host: Kwelmora.lib|${MSVC_TOOLCHAIN}|${ARCH}||ok|IMPORTED_LOCATION=${prefix}/${dir}/Kwelmora.dll^IMPORTED_IMPLIB=${prefix}/${dir}/Kwelmora.lib"
  "a ${other_bits}-bit host, no such build in the package: not found, and why|${mingw_other}|||refused|has no ${other_bits}-bit build^win${other_bits}/Kwelmora.dll is missing"
  "version ${next_major} asked of ${VERSION}: refused|${mingw_this}||${next_major}|refused|compatible with requested version \"${next_major}\"^version: ${VERSION}")

set(failures 0)
set(index 0)
foreach(row IN LISTS cases)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 name)
  list(GET fields 1 toolchain)
  list(GET fields 2 host_arch)
  list(GET fields 3 version)
  list(GET fields 4 outcome)
  list(GET fields 5 texts)
  string(REPLACE "^" ";" texts "${texts}")
  math(EXPR index "${index} + 1")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${HOST_DIR} -B ${WORK_DIR}/host${index}
            -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_PREFIX_PATH=${prefix}
            -DKWELMORA_HOST_ARCH=${host_arch} -DKWELMORA_HOST_VERSION=${version}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(problems "")
  if(outcome STREQUAL "ok" AND NOT status EQUAL 0)
    list(APPEND problems "configuring failed")
  elseif(outcome STREQUAL "refused" AND status EQUAL 0)
    list(APPEND problems "configuring succeeded")
  endif()
  # CMake wraps the messages it prints; the texts are looked for with blanks joined.
  string(REGEX REPLACE "[ \t\r\n]+" " " flat "${out}")
  foreach(text IN LISTS texts)
    string(FIND "${flat}" "${text}" at)
    if(at EQUAL -1)
      list(APPEND problems "no '${text}' in the output")
    endif()
  endforeach()
  if(problems)
    math(EXPR failures "${failures} + 1")
    string(REPLACE ";" "\n        " problems "${problems}")
    message("  FAIL  ${name}\n        ${problems}\n${out}")
  else()
    message("  ok    ${name}")
  endif()
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} case(s) failed")
endif()
