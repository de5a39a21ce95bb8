// The header compiles in C++ hosts and declares what the DLL exports.
#include "kwelmora.h"

#include <cstdio>
#include <type_traits>

static_assert(std::is_same<decltype(&ZainicjowanoPortSzeregowyDlaZRV),
                           unsigned char(KWELMORA_CALL*)(unsigned char)>::value,
              "initialisation signature");
static_assert(std::is_same<decltype(&OdinicjowanoPortSzeregowyDlaZRV),
                           unsigned char(KWELMORA_CALL*)()>::value,
              "de-initialisation signature");

int main() {
  if (OdinicjowanoPortSzeregowyDlaZRV() != 1) {
    std::puts("host: 0 passed, 1 failed");
    return 1;
  }
  std::puts("host: 1 passed, 0 failed");
  return 0;
}
