// The link to the unit: finding it among the bridge's devices, setting up
// the serial line, and the framed request/reply exchange.
#ifndef TAVOCTL_LINK_LINK_H
#define TAVOCTL_LINK_LINK_H

#include <cstdint>

#include "d2xx.h"
#include "protocol/protocol.h"
#include "unit/unit.h"

// The accepted bridges: USB vendor id in the high half, product id low.
constexpr uint32_t kDeviceIdA = 0x16C91003;
constexpr uint32_t kDeviceIdB = 0x16C91403;

// Serial line and driver settings.
constexpr uint32_t kBaudRate = 38400;
constexpr uint32_t kReadTimeoutMs = 1000;
constexpr uint32_t kWriteTimeoutMs = 300;
constexpr uint32_t kPurgeBoth = FT_PURGE_RX | FT_PURGE_TX;  // 3

enum class SearchOutcome {
  NoCount,       // the driver did not give its device count
  NoDevice,      // the driver sees no device
  NoneAccepted,  // no device could be opened, accepted and configured
  Open,          // Unit.DeviceHandle holds the configured unit
};

// Tries the devices in the driver's order; the first accepted one wins.
constexpr uint32_t kMaxDevices = 64;
SearchOutcome SearchDevice();

// Tries one device. Leaves Unit.DeviceHandle non-zero if, and only if, the
// device was opened, accepted and fully configured; a device that fails any
// step is closed again.
void OpenPort(uint32_t index);

// Closes the driver handle (status not examined) and clears Unit.DeviceHandle.
void ClosePort();

// One request/reply exchange. `count` and `buffer` are optional: on entry
// they hold the payload (sent only when both are given and count is not 0);
// on a data-carrying reply the data is placed in the buffer and its length
// in count. Returns the reply's status byte (0-255) or the failed step:
//   -1 purge  -2 write  -3 read status  -4 no status in time
//   -5 read length  -6 no length in time  -7 read data  -8 data short
//   -9 check byte mismatch (buffer and count already hold the data)
int Transact(uint8_t command, uint32_t *count, FrameBuf *buffer);

#endif  // TAVOCTL_LINK_LINK_H
