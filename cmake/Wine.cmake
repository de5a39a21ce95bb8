# Running this build's Windows programs here: a wrapper, build/<preset>/wine-run,
# that runs them under Wine in the build tree's prefix, and CTest's emulator
# pointed at it (`wine-run --test`). Scripts reach Wine through the same wrapper.
#   x86_64: the machine's own Wine (Debian 12's Wine 8, Debian 13's Wine 10);
#   i686:   Debian 12's Wine 8 with its 32-bit side (wine32), in the chroot
#           wine8-i386 (scripts/wine-root.sh), since the machine's Wine has no
#           32-bit side. Where the kernel runs no 32-bit programs, they run there
#           through qemu-i386 (scripts/i386-binfmt.sh).
# The x86_64 build also gets wine-run-chroot: its programs under the chroot
# wine10's Wine 10 (Debian 13), in a prefix of their own, so that a Debian 12
# machine's end-to-end tests cover Wine 10's serial stack as well.
if(NOT KWELMORA_RUNS_UNDER_WINE OR CMAKE_CROSSCOMPILING_EMULATOR)
  return()
endif()

function(kwelmora_wine_wrapper template output prefix)
  set(KWELMORA_WINEPREFIX ${prefix})
  set(KWELMORA_WINE_ROOT ${ARGV3})
  set(KWELMORA_WINE_BITS ${ARGV4})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${template} ${CMAKE_BINARY_DIR}/${output}
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
                 @ONLY)
endfunction()

if(KWELMORA_ARCH STREQUAL "i686")
  kwelmora_wine_wrapper(wine-run-chroot.in wine-run ${CMAKE_BINARY_DIR}/wineprefix wine8-i386 32)
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
  kwelmora_wine_wrapper(wine-run-chroot.in wine-run-chroot ${CMAKE_BINARY_DIR}/wineprefix-chroot
                        wine10 64)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run --test)
