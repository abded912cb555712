// Finding the unit among the bridge's devices and setting up its serial line.
#include <cstring>

#include "link/link.h"

namespace {

// The application's 32-bit handle for the driver handle just opened. On
// 32-bit Windows the driver handle fits and is handed out as it is; where it
// is a 64-bit pointer, each open hands out a fresh non-zero number instead,
// so that a handle kept from an earlier open is refused as a wrong handle.
uint32_t HandleFor(FT_HANDLE driver) {
#if UINTPTR_MAX == 0xFFFFFFFFu
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(driver));
#else
  (void)driver;
  static uint32_t lastToken = 0;
  lastToken = lastToken * 1664525u + 1013904223u;  // full-period LCG
  if (lastToken == 0) lastToken = lastToken * 1664525u + 1013904223u;
  return lastToken;
#endif
}

bool Record(FT_STATUS status) {
  Unit.LastDriverStatus = static_cast<uint32_t>(status);
  return status == FT_OK;
}

}  // namespace

// The bridge vendor's Linux and macOS D2XX libraries list only the USB ids
// they know, and the unit's bridge has ids of its own: such a library must
// be told them first, with FT_SetVIDPID. Other providers lack the call, so
// the reference is weak: null when the process has no such function.
// Windows' driver is told by its installation, and the DLL's imports stay
// the thirteen it has.
#ifndef _WIN32
extern "C" FT_STATUS FT_SetVIDPID(DWORD dwVID, DWORD dwPID)
    __attribute__((weak));
#endif

namespace {

void TellTheUnitsIds() {
#ifndef _WIN32
  if (FT_SetVIDPID != nullptr) {
    FT_SetVIDPID(kDeviceIdA >> 16, kDeviceIdA & 0xFFFF);
    FT_SetVIDPID(kDeviceIdB >> 16, kDeviceIdB & 0xFFFF);
  }
#endif
}

}  // namespace

void ClosePort() {
  FT_Close(Unit.DriverHandle);  // nothing useful to do if the close fails
  Unit.DriverHandle = nullptr;
  Unit.DeviceHandle = 0;
}

void OpenPort(uint32_t index) {
  Unit.DeviceHandle = 0;
  Unit.DriverHandle = nullptr;
  if (!Record(FT_Open(static_cast<int>(index), &Unit.DriverHandle))) {
    Unit.DriverHandle = nullptr;
    return;
  }
  // A driver that reports success with a null handle has opened nothing the
  // application could be handed.
  if (Unit.DriverHandle == nullptr) return;
  Unit.DeviceHandle = HandleFor(Unit.DriverHandle);

  FT_DEVICE type = 0;
  DWORD id = 0;
  // The driver writes the serial number as text with its terminating 0; a
  // roomy scratch area keeps a long serial number from running over.
  char serial[64] = {};
  char description[64] = {};
  bool ok = Record(FT_ResetDevice(Unit.DriverHandle)) &&
            Record(FT_GetDeviceInfo(Unit.DriverHandle, &type, &id, serial,
                                    description, nullptr));
  if (ok) {
    std::memcpy(Unit.SerialNo, serial, sizeof Unit.SerialNo);
    ok = (id == kDeviceIdA || id == kDeviceIdB) &&
         Record(FT_SetBaudRate(Unit.DriverHandle, kBaudRate)) &&
         Record(FT_SetDataCharacteristics(Unit.DriverHandle, FT_BITS_8,
                                          FT_STOP_BITS_1, FT_PARITY_NONE)) &&
         Record(FT_SetFlowControl(Unit.DriverHandle, FT_FLOW_NONE, 0, 0)) &&
         Record(FT_SetChars(Unit.DriverHandle, 0, 0, 0, 0));
  }
  if (ok) {
    // A bridge that cannot take the time-outs still works with its default
    // ones, so this one call is neither recorded nor tested.
    FT_SetTimeouts(Unit.DriverHandle, kReadTimeoutMs, kWriteTimeoutMs);
    ok = Record(FT_Purge(Unit.DriverHandle, kPurgeBoth));
  }
  if (!ok) ClosePort();
}

SearchOutcome SearchDevice() {
  TellTheUnitsIds();
  DWORD count = 0;
  if (!Record(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY))) {
    return SearchOutcome::NoCount;
  }
  if (count == 0) return SearchOutcome::NoDevice;
  // The first accepted device in the driver's order wins; each rejected one
  // has been closed again before the next is tried. A count beyond any
  // machine's USB tree (a driver fault can report 0xFFFFFFFF) is not
  // trusted: the search stops after kMaxDevices, each of which may cost an
  // open and a close.
  if (count > kMaxDevices) count = kMaxDevices;
  for (DWORD index = 0; index < count; ++index) {
    OpenPort(static_cast<uint32_t>(index));
    if (Unit.DeviceHandle != 0) return SearchOutcome::Open;
  }
  return SearchOutcome::NoneAccepted;
}
