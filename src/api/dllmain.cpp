// The DLL's entry point. All of the library's state is process-global and
// starts at zero; on process attach the handle is cleared once more, so a
// process that loads the library sees no unit open. Detach does nothing: a
// port left open is not closed when the library is unloaded, only by
// TAVO_Close or TAVO_Reset (or the end of the process).
#include <windows.h>

#include "unit/unit.h"

// C linkage: the runtime's DLL start-up code calls DllMain by its plain name.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    Unit.DeviceHandle = 0;
  }
  return TRUE;
}
