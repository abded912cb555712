#include "fake_d2xx.h"

#include <algorithm>
#include <cstring>

namespace fake {

const char *Name(Fn fn) {
  switch (fn) {
    case Fn::ListDevices:
      return "FT_ListDevices";
    case Fn::Open:
      return "FT_Open";
    case Fn::Close:
      return "FT_Close";
    case Fn::ResetDevice:
      return "FT_ResetDevice";
    case Fn::GetDeviceInfo:
      return "FT_GetDeviceInfo";
    case Fn::SetBaudRate:
      return "FT_SetBaudRate";
    case Fn::SetDataCharacteristics:
      return "FT_SetDataCharacteristics";
    case Fn::SetFlowControl:
      return "FT_SetFlowControl";
    case Fn::SetChars:
      return "FT_SetChars";
    case Fn::SetTimeouts:
      return "FT_SetTimeouts";
    case Fn::Purge:
      return "FT_Purge";
    case Fn::Write:
      return "FT_Write";
    case Fn::Read:
      return "FT_Read";
  }
  return "?";
}

Bytes Status(uint8_t status) { return Bytes{status}; }

Bytes Body(uint8_t status, const Bytes &data) {
  Bytes out{status, static_cast<uint8_t>(data.size())};
  uint8_t check = static_cast<uint8_t>(data.size());
  for (uint8_t b : data) {
    out.push_back(b);
    check ^= b;
  }
  out.push_back(check);
  return out;
}

Bytes Item(uint8_t tag, const Bytes &value) {
  Bytes out{static_cast<uint8_t>(value.size() + 1), tag};
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

D2xx &D2xx::Get() {
  static D2xx instance;
  return instance;
}

void D2xx::Clear() {
  devices = {Device{}};
  calls.clear();
  frames.clear();
  responder = nullptr;
  onWrite = nullptr;
  rx.clear();
  open.clear();
  queued_.clear();
  standing_.clear();
  failing_.clear();
  failNth_.clear();
  seen_.clear();
}

void D2xx::Fail(Fn fn, FT_STATUS status, int times) {
  failing_[fn] = {status, times};
}

void D2xx::FailNth(Fn fn, int n, FT_STATUS status) {
  failNth_[fn][seen_[fn] + n] = status;
}

std::vector<Call> D2xx::CallsOf(Fn fn) const {
  std::vector<Call> out;
  for (const Call &c : calls) {
    if (c.fn == fn) out.push_back(c);
  }
  return out;
}

int D2xx::OpenHandles() const {
  return static_cast<int>(std::count(open.begin(), open.end(), true));
}

std::vector<Bytes> D2xx::FramesOf(uint8_t command) const {
  std::vector<Bytes> out;
  for (const Bytes &f : frames) {
    if (!f.empty() && f[0] == command) out.push_back(f);
  }
  return out;
}

int D2xx::DeviceOf(FT_HANDLE handle) const {
  const char *p = static_cast<const char *>(handle);
  if (p < handles_ || p >= handles_ + sizeof handles_) return -1;
  return static_cast<int>(p - handles_);
}

FT_HANDLE D2xx::HandleOf(int device) { return handles_ + device; }

FT_STATUS D2xx::Enter(Fn fn, FT_HANDLE handle, std::vector<uint64_t> args) {
  int device = DeviceOf(handle);
  calls.push_back(Call{fn, device, std::move(args)});
  int index = seen_[fn]++;
  auto nth = failNth_[fn].find(index);
  if (nth != failNth_[fn].end()) return nth->second;
  auto it = failing_.find(fn);
  if (it != failing_.end() && it->second.second != 0) {
    if (it->second.second > 0) --it->second.second;
    return it->second.first;
  }
  if (device >= 0 && device < static_cast<int>(devices.size())) {
    auto f = devices[device].failing.find(fn);
    if (f != devices[device].failing.end()) return f->second;
  }
  return FT_OK;
}

void D2xx::Written(const uint8_t *data, DWORD size) {
  Bytes frame(data, data + size);
  frames.push_back(frame);
  Bytes reply;
  bool answered = responder && responder(frame, reply);
  if (!answered && !frame.empty()) {
    auto q = queued_.find(frame[0]);
    if (q != queued_.end() && !q->second.empty()) {
      reply = q->second.front();
      q->second.pop_front();
    } else if (auto s = standing_.find(frame[0]); s != standing_.end()) {
      reply = s->second;
    }
  }
  rx.insert(rx.end(), reply.begin(), reply.end());
  if (onWrite) onWrite(frame);
}

}  // namespace fake

using fake::D2xx;
using fake::Fn;

extern "C" {

FT_STATUS FTAPI FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags) {
  D2xx &d = D2xx::Get();
  FT_STATUS s = d.Enter(Fn::ListDevices, nullptr,
                        {reinterpret_cast<uintptr_t>(pArg2), Flags});
  if (s == FT_OK && pArg1 != nullptr) {
    *static_cast<DWORD *>(pArg1) = static_cast<DWORD>(d.devices.size());
  }
  return s;
}

FT_STATUS FTAPI FT_Open(int deviceNumber, FT_HANDLE *pHandle) {
  D2xx &d = D2xx::Get();
  FT_STATUS s =
      d.Enter(Fn::Open, nullptr, {static_cast<uint64_t>(deviceNumber)});
  if (s == FT_OK && (deviceNumber < 0 ||
                     deviceNumber >= static_cast<int>(d.devices.size()))) {
    s = FT_DEVICE_NOT_FOUND;
  }
  if (s == FT_OK) {
    d.open.resize(d.devices.size());
    d.open[static_cast<size_t>(deviceNumber)] = true;
    *pHandle = d.devices[static_cast<size_t>(deviceNumber)].nullHandle
                   ? nullptr
                   : d.HandleOf(deviceNumber);
    d.calls.back().device = deviceNumber;
  }
  return s;
}

FT_STATUS FTAPI FT_Close(FT_HANDLE h) {
  D2xx &d = D2xx::Get();
  FT_STATUS s = d.Enter(Fn::Close, h, {});
  int device = d.DeviceOf(h);
  if (device >= 0 && device < static_cast<int>(d.open.size()))
    d.open[static_cast<size_t>(device)] = false;
  return s;
}

FT_STATUS FTAPI FT_ResetDevice(FT_HANDLE h) {
  return D2xx::Get().Enter(Fn::ResetDevice, h, {});
}

FT_STATUS FTAPI FT_GetDeviceInfo(FT_HANDLE h, FT_DEVICE *type, DWORD *id,
                                 char *serial, char *description, void *dummy) {
  D2xx &d = D2xx::Get();
  FT_STATUS s =
      d.Enter(Fn::GetDeviceInfo, h, {reinterpret_cast<uintptr_t>(dummy)});
  int device = d.DeviceOf(h);
  if (s == FT_OK && device >= 0 &&
      device < static_cast<int>(d.devices.size())) {
    const fake::Device &dev = d.devices[static_cast<size_t>(device)];
    if (type) *type = 5;
    if (id) *id = dev.id;
    if (serial) std::memcpy(serial, dev.serial.c_str(), dev.serial.size() + 1);
    if (description) std::strcpy(description, "TAVO payment unit");
  }
  return s;
}

FT_STATUS FTAPI FT_SetBaudRate(FT_HANDLE h, ULONG baud) {
  return D2xx::Get().Enter(Fn::SetBaudRate, h, {baud});
}

FT_STATUS FTAPI FT_SetDataCharacteristics(FT_HANDLE h, UCHAR bits, UCHAR stop,
                                          UCHAR parity) {
  return D2xx::Get().Enter(Fn::SetDataCharacteristics, h, {bits, stop, parity});
}

FT_STATUS FTAPI FT_SetFlowControl(FT_HANDLE h, USHORT flow, UCHAR xon,
                                  UCHAR xoff) {
  return D2xx::Get().Enter(Fn::SetFlowControl, h, {flow, xon, xoff});
}

FT_STATUS FTAPI FT_SetChars(FT_HANDLE h, UCHAR ev, UCHAR evOn, UCHAR err,
                            UCHAR errOn) {
  return D2xx::Get().Enter(Fn::SetChars, h, {ev, evOn, err, errOn});
}

FT_STATUS FTAPI FT_SetTimeouts(FT_HANDLE h, ULONG readMs, ULONG writeMs) {
  return D2xx::Get().Enter(Fn::SetTimeouts, h, {readMs, writeMs});
}

FT_STATUS FTAPI FT_Purge(FT_HANDLE h, ULONG mask) {
  D2xx &d = D2xx::Get();
  FT_STATUS s = d.Enter(Fn::Purge, h, {mask});
  if (s == FT_OK && (mask & FT_PURGE_RX)) d.rx.clear();
  return s;
}

FT_STATUS FTAPI FT_Write(FT_HANDLE h, void *buffer, DWORD size,
                         DWORD *written) {
  D2xx &d = D2xx::Get();
  FT_STATUS s = d.Enter(Fn::Write, h, {size});
  if (s != FT_OK) return s;
  if (written) *written = size;
  d.Written(static_cast<const uint8_t *>(buffer), size);
  return FT_OK;
}

// Hands out what the unit has sent, at most `size` bytes; fewer (down to
// none) at once when the reply ran out, as a read time-out would.
FT_STATUS FTAPI FT_Read(FT_HANDLE h, void *buffer, DWORD size, DWORD *got) {
  D2xx &d = D2xx::Get();
  FT_STATUS s = d.Enter(Fn::Read, h, {size});
  if (got) *got = 0;
  if (s != FT_OK) return s;
  DWORD n = 0;
  auto *out = static_cast<uint8_t *>(buffer);
  while (n < size && !d.rx.empty()) {
    out[n++] = d.rx.front();
    d.rx.pop_front();
  }
  if (got) *got = n;
  return FT_OK;
}

}  // extern "C"
