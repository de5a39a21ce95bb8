/* The start mark of a test program: written from the program's first code, a
 * constructor that runs before the C and C++ runtimes' other initialisers. The
 * wrapper that runs tests under Wine (cmake/wine-run-common.bash) names the file in
 * KWELMORA_START_MARK. A program that failed without writing it never ran any
 * code of its own: Wine ended it while starting, and it may be run once more. A
 * program that crashed after this point has the mark, and its failure stands. */
#include <windows.h>

__attribute__((constructor(101))) static void WriteStartMark(void) {
  char path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("KWELMORA_START_MARK", path, sizeof path);
  if (length == 0 || length >= sizeof path) {
    return;
  }
  HANDLE mark =
      CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (mark != INVALID_HANDLE_VALUE) {
    CloseHandle(mark);
  }
}
