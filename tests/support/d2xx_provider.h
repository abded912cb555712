// A D2XX provider loaded privately (dlopen with RTLD_LOCAL), for programs
// that define the FT_* functions themselves, so that the library binds to
// them, and pass each call on to the provider: its functions do not clash
// with theirs.
#ifndef TAVOCTL_TESTS_SUPPORT_D2XX_PROVIDER_H
#define TAVOCTL_TESTS_SUPPORT_D2XX_PROVIDER_H

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include "d2xx.h"

struct D2xxProvider {
  decltype(&FT_ListDevices) listDevices;
  decltype(&FT_Open) open;
  decltype(&FT_Close) close;
  decltype(&FT_ResetDevice) resetDevice;
  decltype(&FT_GetDeviceInfo) getDeviceInfo;
  decltype(&FT_SetBaudRate) setBaudRate;
  decltype(&FT_SetDataCharacteristics) setDataCharacteristics;
  decltype(&FT_SetFlowControl) setFlowControl;
  decltype(&FT_SetChars) setChars;
  decltype(&FT_SetTimeouts) setTimeouts;
  decltype(&FT_Purge) purge;
  decltype(&FT_Write) write;
  decltype(&FT_Read) read;
};

// Loads the provider at `path` and binds its thirteen functions; says what
// is missing and exits when it cannot.
inline D2xxProvider LoadD2xxProvider(const char *path) {
  void *m = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (m == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
    std::exit(1);
  }
  auto bind = [&](const char *name, auto *out) {
    *out =
        reinterpret_cast<std::remove_pointer_t<decltype(out)>>(dlsym(m, name));
    if (*out == nullptr) {
      std::fprintf(stderr, "%s lacks %s\n", path, name);
      std::exit(1);
    }
  };
  D2xxProvider p{};
  bind("FT_ListDevices", &p.listDevices);
  bind("FT_Open", &p.open);
  bind("FT_Close", &p.close);
  bind("FT_ResetDevice", &p.resetDevice);
  bind("FT_GetDeviceInfo", &p.getDeviceInfo);
  bind("FT_SetBaudRate", &p.setBaudRate);
  bind("FT_SetDataCharacteristics", &p.setDataCharacteristics);
  bind("FT_SetFlowControl", &p.setFlowControl);
  bind("FT_SetChars", &p.setChars);
  bind("FT_SetTimeouts", &p.setTimeouts);
  bind("FT_Purge", &p.purge);
  bind("FT_Write", &p.write);
  bind("FT_Read", &p.read);
  return p;
}

#endif  // TAVOCTL_TESTS_SUPPORT_D2XX_PROVIDER_H
