// The header compiles in C++ hosts and declares what the DLL exports.
#include "kwelmora.h"

#include <type_traits>

static_assert(std::is_same<decltype(&ZainicjowanoPortSzeregowyDlaZRV),
                           unsigned char(KWELMORA_CALL*)(unsigned char)>::value,
              "initialisation signature");
static_assert(std::is_same<decltype(&OdinicjowanoPortSzeregowyDlaZRV),
                           unsigned char(KWELMORA_CALL*)()>::value,
              "de-initialisation signature");

int main() { return OdinicjowanoPortSzeregowyDlaZRV() == 1 ? 0 : 1; }
