# The version: project(Kwelmora VERSION x.y.z) is its one source. From it come
#   - kwelmora_version.h, for code that needs the number compiled in (link the
#     interface target kwelmora_version to include it);
#   - the VERSIONINFO resource of every shipped binary (kwelmora_version_resource);
#   - the package version file and the archive's name (cmake/Package.cmake,
#     scripts/dist.sh).
# The DLL never reads its own resource: where it needs its version it uses the
# compiled-in number, so that it imports nothing for it.

set(KWELMORA_VERSION ${PROJECT_VERSION})
foreach(part MAJOR MINOR PATCH TWEAK)
  set(KWELMORA_VERSION_${part} "${PROJECT_VERSION_${part}}")
  if("${KWELMORA_VERSION_${part}}" STREQUAL "")
    set(KWELMORA_VERSION_${part} 0)
  endif()
endforeach()

set(KWELMORA_GENERATED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/generated/include)
configure_file(${CMAKE_CURRENT_LIST_DIR}/kwelmora_version.h.in
               ${KWELMORA_GENERATED_INCLUDE_DIR}/kwelmora_version.h @ONLY)
add_library(kwelmora_version INTERFACE)
target_include_directories(kwelmora_version INTERFACE ${KWELMORA_GENERATED_INCLUDE_DIR})

# Resources are compiled by the toolchain's windres.
enable_language(RC)

set(KWELMORA_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

# kwelmora_version_resource(TARGET FILE <name.ext> DESCRIPTION <text>)
# Gives TARGET a version resource naming it FILE. The resource is compiled in an
# object library of its own, so that the target's C and C++ options (warnings,
# character sets) never reach windres.
function(kwelmora_version_resource target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "FILE;DESCRIPTION" "")
  if(NOT arg_FILE OR NOT arg_DESCRIPTION)
    message(FATAL_ERROR "kwelmora_version_resource(${target}): FILE and DESCRIPTION are needed")
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(KWELMORA_RC_FILETYPE VFT_DLL)
  elseif(type STREQUAL "EXECUTABLE")
    set(KWELMORA_RC_FILETYPE VFT_APP)
  else()
    message(FATAL_ERROR "kwelmora_version_resource(${target}): not a DLL or a program")
  endif()
  set(KWELMORA_RC_ORIGINAL_FILENAME ${arg_FILE})
  get_filename_component(KWELMORA_RC_INTERNAL_NAME ${arg_FILE} NAME_WE)
  set(KWELMORA_RC_DESCRIPTION ${arg_DESCRIPTION})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${KWELMORA_VERSION_RC_TEMPLATE} ${rc} @ONLY)
  add_library(${target}_version_resource OBJECT ${rc})
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_version_resource>)
endfunction()
