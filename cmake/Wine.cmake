# Running this build's Windows programs here: a wrapper, build/<preset>/wine-run,
# that runs them under the machine's Wine in the build tree's prefix, and CTest's
# emulator pointed at it. Scripts reach Wine through the same wrapper.
if(KWELMORA_RUNS_UNDER_WINE AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(KWELMORA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
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
  configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
                 @ONLY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()
