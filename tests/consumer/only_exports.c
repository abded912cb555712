/* An application that calls only the library's exports, as one driving a
 * real unit does: it asks nothing of its D2XX provider by itself, so only
 * libtavoctl's undefined FT_* functions keep the provider on the link line.
 * Linked with --as-needed through every provider's CMake target and .pc
 * file (scripts/check-install.sh). It opens the unit and prints the code:
 * with the virtual unit 0x0000, with a real unit's provider and no unit the
 * code that says so; either way the library reached the provider. */
#include <stdio.h>

#include "tavoctl.h"

int main(void) {
  uint32_t handle = 0;
  uint32_t code = TAVO_Open(&handle);
  printf("TAVO_Open: 0x%04X\n", (unsigned)code);
  if (code == TAVO_OK) TAVO_Close(handle);
  return 0;
}
