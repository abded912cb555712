// What the D2XX functions and the vu_ API share: the devices the driver
// lists, the one lock over the whole model, the model clock and the trace
// hook.
#ifndef TAVOVU_DEVICES_H
#define TAVOVU_DEVICES_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "model.h"
#include "tavovu.h"

// The provider defines the driver's functions: they are exported.
#ifndef _WIN32
#pragma GCC visibility push(default)
#endif
#include "d2xx.h"
#ifndef _WIN32
#pragma GCC visibility pop
#endif

namespace vu {

struct Registry {
  std::recursive_mutex mutex;
  std::vector<std::unique_ptr<Device>> devices;
  FT_STATUS listFail = FT_OK;
  vu_timing timing{};
  uint64_t virtualUs = 0;       // the virtual clock
  uint64_t hostLineFreeUs = 0;  // when the host's transmitter is free again
  std::chrono::steady_clock::time_point origin =
      std::chrono::steady_clock::now();
  vu_trace_fn trace = nullptr;
  void *traceContext = nullptr;
  uint32_t nextHandle = 0x100;

  Registry() { AddDefault(); }
  // Appends the default device of vu_default_config.
  void AddDefault();
};

Registry &G();
using Lock = std::unique_lock<std::recursive_mutex>;

bool Timed();     // the wire-timing model is on
double ByteUs();  // time of one byte on the wire
uint64_t Now();   // model time in microseconds
// Moves model time on to `target`; on the real clock the caller's thread
// sleeps, without the lock.
void WaitUntil(Lock &lock, uint64_t target);

Device *DeviceAt(int index);           // nullptr when there is none
Device *FromHandle(FT_HANDLE handle);  // nullptr unless open
int IndexOf(const Device *device);

// Calls the trace hook, if any, for bytes written or a reply.
void Trace(const Device *d, int direction, uint8_t command,
           const uint8_t *bytes, size_t length);

}  // namespace vu

#endif  // TAVOVU_DEVICES_H
