// A lean D2XX device for the fuzz targets: the target executable defines the
// FT_* functions here, so the library's objects talk to this device. What
// the device answers, which calls fail and how much each read delivers are
// decided by the target (from the fuzzer's input) through three hooks. It
// keeps only what the oracles need, so that a run costs microseconds.
#ifndef TAVOCTL_TESTS_FUZZ_D2XX_H
#define TAVOCTL_TESTS_FUZZ_D2XX_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "d2xx.h"

namespace fuzzd2xx {

enum class Call : uint8_t {
  ListDevices,
  Open,
  Close,
  ResetDevice,
  GetDeviceInfo,
  SetBaudRate,
  SetDataCharacteristics,
  SetFlowControl,
  SetChars,
  SetTimeouts,
  Purge,
  Write,
  Read,
};

struct Device {
  // Devices the driver lists; each has this USB id.
  uint32_t count = 1;
  DWORD id = 0x16C91003;

  // The status a call returns (FT_OK when it works). Null: every call works.
  FT_STATUS (*status)(Call call) = nullptr;
  // Called with each frame written; appends the unit's answer to `rx`.
  void (*answer)(const uint8_t *frame, uint32_t size) = nullptr;
  // At most how many of `want` bytes a read hands out when they are there
  // (fewer imitates the read time-out). Null: all that are there.
  uint32_t (*deliver)(uint32_t want) = nullptr;

  // What the unit has sent and the host not read yet.
  std::vector<uint8_t> rx;
  size_t rxPos = 0;

  // Every frame written (one FT_Write each) since Clear.
  std::vector<std::vector<uint8_t>> frames;
  // Handles open now, per device (a device opens once at a time).
  std::vector<bool> open;
  uint32_t driverCalls = 0;

  void Clear();
  void Push(const uint8_t *bytes, size_t n) {
    rx.insert(rx.end(), bytes, bytes + n);
  }
  int OpenHandles() const;
};

Device &Dev();

}  // namespace fuzzd2xx

#endif  // TAVOCTL_TESTS_FUZZ_D2XX_H
