# Running this build's Windows programs here: a wrapper, build/<preset>/wine-run,
# that runs them under Wine in the build tree's prefix, and CTest's emulator
# pointed at it (`wine-run --test`). Scripts reach Wine through the same wrapper.
#   x86_64: the machine's own Wine (Debian 12's Wine 8, Debian 13's Wine 10);
#   i686:   Debian sid's Wine 10 in WoW64 mode, in a chroot (scripts/wow64-root.sh),
#           since the machine's Wine cannot run 32-bit programs.
# The x86_64 build also gets wine-run-chroot: its programs under that chroot's
# Wine 10, in a prefix of their own, for the end-to-end tests where the i686
# programs cannot run.
if(NOT KWELMORA_RUNS_UNDER_WINE OR CMAKE_CROSSCOMPILING_EMULATOR)
  return()
endif()

# A WoW64 Wine runs 32-bit code inside a 64-bit process, which some kernels and
# hypervisors refuse. There the i686 build is checked statically only, as it was
# before the 32-bit leg existed, and scripts/run-tests.sh says so.
if(KWELMORA_ARCH STREQUAL "i686")
  execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/wow64-root.sh probe
                  RESULT_VARIABLE KWELMORA_IA32_PROBE ERROR_VARIABLE KWELMORA_IA32_PROBE_SAYS
                  ERROR_STRIP_TRAILING_WHITESPACE)
  if(NOT KWELMORA_IA32_PROBE EQUAL 0)
    message(STATUS "${KWELMORA_IA32_PROBE_SAYS}")
    message(STATUS "The i686 build's programs cannot run here: it is checked statically")
    set(KWELMORA_RUNS_UNDER_WINE OFF)
    file(WRITE ${CMAKE_BINARY_DIR}/ia32-refused "${KWELMORA_IA32_PROBE_SAYS}\n")
    return()
  endif()
  file(REMOVE ${CMAKE_BINARY_DIR}/ia32-refused)
endif()

function(kwelmora_wine_wrapper template output prefix)
  set(KWELMORA_WINEPREFIX ${prefix})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${template} ${CMAKE_BINARY_DIR}/${output}
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
                 @ONLY)
endfunction()

if(KWELMORA_ARCH STREQUAL "i686")
  kwelmora_wine_wrapper(wine-run-chroot.in wine-run ${CMAKE_BINARY_DIR}/wineprefix)
else()
  # The machine's Wine, found the way its packages install it.
  execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/find-wine.sh
                  OUTPUT_VARIABLE KWELMORA_WINE RESULT_VARIABLE KWELMORA_WINE_FOUND
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(KWELMORA_WINE_FOUND EQUAL 0)
    string(REPLACE "\n" ";" KWELMORA_WINE "${KWELMORA_WINE}")
    list(GET KWELMORA_WINE 0 KWELMORA_WINE_LOADER)
    list(GET KWELMORA_WINE 1 KWELMORA_WINE_SERVER)
  else()
    message(WARNING "No Wine found: the tests of this build cannot run (scripts/install-deps.sh)")
  endif()
  kwelmora_wine_wrapper(wine-run.in wine-run ${CMAKE_BINARY_DIR}/wineprefix)
  kwelmora_wine_wrapper(wine-run-chroot.in wine-run-chroot ${CMAKE_BINARY_DIR}/wineprefix-chroot)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run --test)
