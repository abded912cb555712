// A D2XX provider loaded privately (dlopen with RTLD_LOCAL), for programs
// that define the FT_* functions themselves, so that the library binds to
// them, and pass each call on to the provider: its functions do not clash
// with theirs.
#ifndef TAVOCTL_TESTS_SUPPORT_D2XX_PROVIDER_H
#define TAVOCTL_TESTS_SUPPORT_D2XX_PROVIDER_H

#include <cstdio>
#include <cstdlib>

#include "d2xx.h"
#include "tavoload.h"

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

// Binds the thirteen functions of `m`; returns the first it lacks, or null.
inline const char *BindD2xx(tavoload::Module m, D2xxProvider *p) {
  return tavoload::Bind(
      m, {{"FT_ListDevices", &p->listDevices},
          {"FT_Open", &p->open},
          {"FT_Close", &p->close},
          {"FT_ResetDevice", &p->resetDevice},
          {"FT_GetDeviceInfo", &p->getDeviceInfo},
          {"FT_SetBaudRate", &p->setBaudRate},
          {"FT_SetDataCharacteristics", &p->setDataCharacteristics},
          {"FT_SetFlowControl", &p->setFlowControl},
          {"FT_SetChars", &p->setChars},
          {"FT_SetTimeouts", &p->setTimeouts},
          {"FT_Purge", &p->purge},
          {"FT_Write", &p->write},
          {"FT_Read", &p->read}});
}

// Loads the provider at `path` and binds its thirteen functions; says what
// is missing and exits when it cannot.
inline D2xxProvider LoadD2xxProvider(const char *path) {
  tavoload::Module m = tavoload::Open(path, tavoload::Scope::kPrivate);
  if (m == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", path,
                 tavoload::LastError().c_str());
    std::exit(1);
  }
  D2xxProvider p{};
  if (const char *missing = BindD2xx(m, &p)) {
    std::fprintf(stderr, "%s lacks %s\n", path, missing);
    std::exit(1);
  }
  return p;
}

#endif  // TAVOCTL_TESTS_SUPPORT_D2XX_PROVIDER_H
