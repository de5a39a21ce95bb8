/* A C host built against include/kwelmora.h and the import library: it links,
 * loads Kwelmora.dll from its own folder and calls it. */
#include <stdio.h>

#include "kwelmora.h"

/* Every export answers one byte. */
_Static_assert(sizeof(ZainicjowanoPortSzeregowyDlaZRV(0)) == 1, "8-bit result");
_Static_assert(sizeof(OdinicjowanoPortSzeregowyDlaZRV()) == 1, "8-bit result");

int main(void) {
  /* Nothing was opened yet: closing answers true. */
  if (OdinicjowanoPortSzeregowyDlaZRV() != 1) {
    puts("FAIL: de-initialisation before any initialisation");
    return 1;
  }
  /* No COM250 exists on the test machine. */
  if (ZainicjowanoPortSzeregowyDlaZRV(250) != 0) {
    puts("FAIL: initialisation of a missing port succeeded");
    return 1;
  }
  if (OdinicjowanoPortSzeregowyDlaZRV() != 1) {
    puts("FAIL: de-initialisation after a failed initialisation");
    return 1;
  }
  puts("host: 1 passed, 0 failed");
  return 0;
}
