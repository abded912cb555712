#include "fuzz_d2xx.h"

#include <algorithm>
#include <cstring>

namespace fuzzd2xx {

namespace {
// Driver handles are addresses inside this array, one byte per device, so
// that a handle can be traced back to its device.
char handles[64];

int DeviceOf(FT_HANDLE h) {
  const char *p = static_cast<const char *>(h);
  if (p < handles || p >= handles + sizeof handles) return -1;
  return static_cast<int>(p - handles);
}

FT_STATUS Enter(Call call) {
  Device &d = Dev();
  ++d.driverCalls;
  return d.status != nullptr ? d.status(call) : FT_OK;
}
}  // namespace

Device &Dev() {
  static Device device;
  return device;
}

void Device::Clear() {
  count = 1;
  id = 0x16C91003;
  status = nullptr;
  answer = nullptr;
  deliver = nullptr;
  rx.clear();
  rxPos = 0;
  frames.clear();
  open.assign(sizeof handles, false);
  driverCalls = 0;
}

int Device::OpenHandles() const {
  return static_cast<int>(std::count(open.begin(), open.end(), true));
}

}  // namespace fuzzd2xx

using fuzzd2xx::Call;
using fuzzd2xx::Dev;

extern "C" {

FT_STATUS FTAPI FT_ListDevices(void *pArg1, void *, DWORD) {
  FT_STATUS s = fuzzd2xx::Enter(Call::ListDevices);
  if (s == FT_OK && pArg1 != nullptr)
    *static_cast<DWORD *>(pArg1) = Dev().count;
  return s;
}

FT_STATUS FTAPI FT_Open(int number, FT_HANDLE *pHandle) {
  FT_STATUS s = fuzzd2xx::Enter(Call::Open);
  if (s != FT_OK) return s;
  auto &d = Dev();
  if (number < 0 || static_cast<uint32_t>(number) >= d.count ||
      static_cast<size_t>(number) >= sizeof fuzzd2xx::handles) {
    return FT_DEVICE_NOT_FOUND;
  }
  if (d.open[static_cast<size_t>(number)]) return FT_DEVICE_NOT_OPENED;
  d.open[static_cast<size_t>(number)] = true;
  *pHandle = fuzzd2xx::handles + number;
  return FT_OK;
}

FT_STATUS FTAPI FT_Close(FT_HANDLE h) {
  FT_STATUS s = fuzzd2xx::Enter(Call::Close);
  int device = fuzzd2xx::DeviceOf(h);
  // The handle is released even when the close reports a failure.
  if (device >= 0) Dev().open[static_cast<size_t>(device)] = false;
  return s;
}

FT_STATUS FTAPI FT_ResetDevice(FT_HANDLE) {
  return fuzzd2xx::Enter(Call::ResetDevice);
}

FT_STATUS FTAPI FT_GetDeviceInfo(FT_HANDLE, FT_DEVICE *type, DWORD *id,
                                 char *serial, char *description, void *) {
  FT_STATUS s = fuzzd2xx::Enter(Call::GetDeviceInfo);
  if (s != FT_OK) return s;
  if (type != nullptr) *type = 5;
  if (id != nullptr) *id = Dev().id;
  if (serial != nullptr) std::strcpy(serial, "FZ00000000000001");
  if (description != nullptr) std::strcpy(description, "TAVO payment unit");
  return FT_OK;
}

FT_STATUS FTAPI FT_SetBaudRate(FT_HANDLE, ULONG) {
  return fuzzd2xx::Enter(Call::SetBaudRate);
}
FT_STATUS FTAPI FT_SetDataCharacteristics(FT_HANDLE, UCHAR, UCHAR, UCHAR) {
  return fuzzd2xx::Enter(Call::SetDataCharacteristics);
}
FT_STATUS FTAPI FT_SetFlowControl(FT_HANDLE, USHORT, UCHAR, UCHAR) {
  return fuzzd2xx::Enter(Call::SetFlowControl);
}
FT_STATUS FTAPI FT_SetChars(FT_HANDLE, UCHAR, UCHAR, UCHAR, UCHAR) {
  return fuzzd2xx::Enter(Call::SetChars);
}
FT_STATUS FTAPI FT_SetTimeouts(FT_HANDLE, ULONG, ULONG) {
  return fuzzd2xx::Enter(Call::SetTimeouts);
}

FT_STATUS FTAPI FT_Purge(FT_HANDLE, ULONG mask) {
  FT_STATUS s = fuzzd2xx::Enter(Call::Purge);
  if (s == FT_OK && (mask & FT_PURGE_RX) != 0) {
    Dev().rx.clear();
    Dev().rxPos = 0;
  }
  return s;
}

FT_STATUS FTAPI FT_Write(FT_HANDLE, void *buffer, DWORD size, DWORD *written) {
  FT_STATUS s = fuzzd2xx::Enter(Call::Write);
  if (s != FT_OK) return s;
  auto &d = Dev();
  const auto *bytes = static_cast<const uint8_t *>(buffer);
  d.frames.emplace_back(bytes, bytes + size);
  if (written != nullptr) *written = size;
  if (d.answer != nullptr) d.answer(bytes, size);
  return FT_OK;
}

FT_STATUS FTAPI FT_Read(FT_HANDLE, void *buffer, DWORD want, DWORD *got) {
  if (got != nullptr) *got = 0;
  FT_STATUS s = fuzzd2xx::Enter(Call::Read);
  if (s != FT_OK) return s;
  auto &d = Dev();
  size_t there = d.rx.size() - d.rxPos;
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(want, there));
  if (d.deliver != nullptr) n = std::min(n, d.deliver(want));
  if (n > 0) std::memcpy(buffer, d.rx.data() + d.rxPos, n);
  d.rxPos += n;
  if (got != nullptr) *got = n;
  return FT_OK;
}

}  // extern "C"
