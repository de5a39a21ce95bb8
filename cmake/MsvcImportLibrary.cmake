# Import libraries in the format that Visual Studio's linker (and lld-link) reads,
# made by llvm-dlltool from a module-definition file.
#
# On i686 the .def names carry the __stdcall argument bytes (Name@N). The import
# library then defines __imp__Name@N, the symbol a 32-bit MSVC compiler emits for
# a call through __declspec(dllimport), and -k marks each import "undecorate", so
# that the loader asks the DLL for the plain Name it exports. On x86_64 there is
# one calling convention and no decoration.

find_program(KWELMORA_LLVM_DLLTOOL llvm-dlltool)
if(NOT KWELMORA_LLVM_DLLTOOL)
  message(FATAL_ERROR "llvm-dlltool was not found (Debian package llvm); "
                      "scripts/install-deps.sh installs it")
endif()

if(KWELMORA_ARCH STREQUAL "i686")
  set(KWELMORA_DLLTOOL_MACHINE -m i386 -k)
else()
  set(KWELMORA_DLLTOOL_MACHINE -m i386:x86-64)
endif()

# kwelmora_msvc_import_library(TARGET <name> DEF <file.def> OUTPUT <file.lib>)
# A target, built by default, that makes OUTPUT from DEF.
function(kwelmora_msvc_import_library)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TARGET;DEF;OUTPUT" "")
  get_filename_component(name ${arg_OUTPUT} NAME)
  add_custom_command(OUTPUT ${arg_OUTPUT}
    COMMAND ${KWELMORA_LLVM_DLLTOOL} ${KWELMORA_DLLTOOL_MACHINE} -d ${arg_DEF} -l ${arg_OUTPUT}
    DEPENDS ${arg_DEF}
    COMMENT "Import library ${name} for Visual Studio-style linkers"
    VERBATIM)
  add_custom_target(${arg_TARGET} ALL DEPENDS ${arg_OUTPUT})
endfunction()
