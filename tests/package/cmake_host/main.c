/* A MinGW host built through Kwelmora's CMake package:
 *   cmake_host.exe PORT ADDRESS HEX60
 * runs the steps of host_sequence.h and exits with their status. */
#include <stdio.h>

#include "host_sequence.h"

static void Emit(const char* line) {
  puts(line);
  fflush(stdout);
}

int main(int argc, char** argv) {
  if (argc != 4) {
    Emit("usage: cmake_host PORT ADDRESS HEX60");
    return 2;
  }
  return RunHostSequence(argv[1], argv[2], argv[3], Emit);
}
