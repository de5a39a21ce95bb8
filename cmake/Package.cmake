# What the archive for users holds (scripts/dist.sh). Each build installs its part
# and both builds install into one folder:
#
#   win32/ or win64/     Kwelmora.dll, libKwelmora.dll.a (MinGW), Kwelmora.lib
#                        (Visual Studio), Kwelmora.def, zrvtool.exe
#     simulator/         the simulator DLL, by the same name Kwelmora.dll (a host
#                        loads it unchanged from its own folder), and zrvtool.exe
#                        to run beside it; its exports are the release DLL's, so
#                        the import libraries above serve it too
#   include/             kwelmora.h
#   lib/cmake/Kwelmora/  KwelmoraConfig.cmake, KwelmoraConfigVersion.cmake:
#                        find_package(Kwelmora CONFIG) with the folder as prefix
#   README.md            the user guide
#
# cmake --install build/<preset> --prefix DIR lays out one build's part.
include(CMakePackageConfigHelpers)

if(KWELMORA_ARCH STREQUAL "i686")
  set(KWELMORA_PACKAGE_BUILD_DIR win32)
else()
  set(KWELMORA_PACKAGE_BUILD_DIR win64)
endif()

install(TARGETS Kwelmora
  RUNTIME DESTINATION ${KWELMORA_PACKAGE_BUILD_DIR}
  ARCHIVE DESTINATION ${KWELMORA_PACKAGE_BUILD_DIR})
install(FILES ${PROJECT_BINARY_DIR}/bin/Kwelmora.lib ${PROJECT_BINARY_DIR}/bin/Kwelmora.def
  DESTINATION ${KWELMORA_PACKAGE_BUILD_DIR})
install(TARGETS zrvtool RUNTIME DESTINATION ${KWELMORA_PACKAGE_BUILD_DIR})
install(FILES $<TARGET_FILE:KwelmoraSimulator> DESTINATION ${KWELMORA_PACKAGE_BUILD_DIR}/simulator)
install(TARGETS zrvtool RUNTIME DESTINATION ${KWELMORA_PACKAGE_BUILD_DIR}/simulator)
install(FILES ${PROJECT_SOURCE_DIR}/include/kwelmora.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/docs/USER_GUIDE.md DESTINATION . RENAME README.md)

# The CMake package. Both builds write the same two files: nothing in them depends
# on the build's bitness; the host's bitness picks the folder when it is loaded.
set(KWELMORA_CONFIG_INSTALL_DIR lib/cmake/Kwelmora)
set(KWELMORA_INCLUDE_INSTALL_DIR include)
set(KWELMORA_WIN32_INSTALL_DIR win32)
set(KWELMORA_WIN64_INSTALL_DIR win64)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KwelmoraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/KwelmoraConfig.cmake
  INSTALL_DESTINATION ${KWELMORA_CONFIG_INSTALL_DIR}
  PATH_VARS KWELMORA_INCLUDE_INSTALL_DIR KWELMORA_WIN32_INSTALL_DIR KWELMORA_WIN64_INSTALL_DIR
  NO_SET_AND_CHECK_MACRO)
# ARCH_INDEPENDENT: the package holds both bitnesses, so the version file must not
# turn a host of the other bitness away; the config file says clearly when the
# host's build is missing.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/KwelmoraConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion
  ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/package/KwelmoraConfig.cmake
              ${PROJECT_BINARY_DIR}/package/KwelmoraConfigVersion.cmake
  DESTINATION ${KWELMORA_CONFIG_INSTALL_DIR})
