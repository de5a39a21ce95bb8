/*
 * A host built the way Visual Studio builds one: clang in MSVC mode, linked by
 * lld-link against Kwelmora.lib and import libraries of kernel32 and user32,
 * with no C runtime and its own entry point.
 *
 *   msvc_host.exe PORT ADDRESS HEX60
 *
 * runs the steps of host_sequence.h and exits with their status.
 */
#include "host_sequence.h"

/* The kernel32 calls it needs, declared here: there is no Windows SDK. */
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) char* __stdcall GetCommandLineA(void);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);

#define HOST_STD_OUTPUT_HANDLE ((unsigned long)-11)

static void Emit(const char* line) {
  unsigned long size = 0, written = 0;
  void* out = GetStdHandle(HOST_STD_OUTPUT_HANDLE);
  while (line[size] != '\0') ++size;
  WriteFile(out, line, size, &written, 0);
  WriteFile(out, "\n", 1, &written, 0);
}

/* Splits a copy of the command line at blanks; the program's name may be quoted. */
static int SplitArguments(char* text, char** words, int capacity) {
  int count = 0;
  while (*text != '\0') {
    while (*text == ' ' || *text == '\t') ++text;
    if (*text == '\0') break;
    if (*text == '"') {
      ++text;
      if (count < capacity) words[count] = text;
      ++count;
      while (*text != '\0' && *text != '"') ++text;
    } else {
      if (count < capacity) words[count] = text;
      ++count;
      while (*text != '\0' && *text != ' ' && *text != '\t') ++text;
    }
    if (*text != '\0') *text++ = '\0';
  }
  return count;
}

void __cdecl HostEntry(void) {
  char copy[512], *words[4];
  const char* command_line = GetCommandLineA();
  int length = 0, count;
  while (command_line[length] != '\0' && length < (int)sizeof copy - 1) {
    copy[length] = command_line[length];
    ++length;
  }
  copy[length] = '\0';
  count = SplitArguments(copy, words, 4);
  if (count != 4 || command_line[length] != '\0') {
    Emit("usage: msvc_host PORT ADDRESS HEX60");
    ExitProcess(2);
  }
  ExitProcess((unsigned int)RunHostSequence(words[1], words[2], words[3], Emit));
}
