// The driver's functions on the virtual devices: the device list, the
// port settings, the receive queue with its timing, and the frames handed to
// the model.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "devices.h"

using vu::Device;
using vu::G;
using vu::Lock;

namespace {

constexpr DWORD kListByIndex = 0x40000000u;
constexpr DWORD kOpenBySerial = 1u;
constexpr DWORD kOpenByDescription = 2u;

using vu::ByteUs;
using vu::DeviceAt;
using vu::FromHandle;
using vu::Now;
using vu::Timed;
using vu::Trace;

// Counts a call and tells the one-shot mode that strikes it (0: none).
int StrikeOnce(Device *d, uint32_t call) {
  for (int bit = 0; bit < 32; ++bit) {
    if (call & (1u << bit)) ++d->calls[bit];
  }
  if ((d->once.calls & call) == 0) return 0;
  if (d->once.skip-- > 0) return 0;
  d->once.calls = 0;
  return d->once.mode;
}

// The status a D2XX call returns on a device: its failure when asked for.
// `readMode` receives a one-shot time-out or short read of FT_Read.
bool Fails(Device *d, uint32_t call, FT_STATUS *status,
           int *readMode = nullptr) {
  int mode = StrikeOnce(d, call);
  if (mode == VU_ONCE_STATUS) {
    *status =
        d->once.status ? FT_STATUS{d->once.status} : FT_STATUS{FT_IO_ERROR};
    return true;
  }
  if (readMode) *readMode = mode;
  if (d->config.fail_calls & call) {
    *status = d->config.fail_status ? FT_STATUS{d->config.fail_status}
                                    : FT_STATUS{FT_IO_ERROR};
    return true;
  }
  return false;
}

bool LineSettingsRight(const Device *d) {
  return d->baud == 38400 && d->wordLength == 8 && d->stopBits == 0 &&
         d->parity == 0 && d->flow == 0;
}

void QueueReply(Device *d, const std::vector<uint8_t> &bytes,
                uint64_t requestEndUs) {
  double byteUs = ByteUs();
  double start = static_cast<double>(std::max(
      requestEndUs + static_cast<uint64_t>(std::llround(G().timing.latency_us)),
      d->lineFreeUs));
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto ready = static_cast<uint64_t>(
        std::llround(start + byteUs * static_cast<double>(i + 1)));
    d->rx.push_back({bytes[i], ready});
    d->lineFreeUs = ready;
  }
}

// Takes whole frames out of the bytes written so far and answers each.
void ProcessInput(Device *d, uint64_t requestEndUs) {
  std::vector<uint8_t> &in = d->input;
  while (in.size() >= 2) {
    uint8_t command = in[0];
    if (in[1] != static_cast<uint8_t>(~command)) {
      in.erase(in.begin());  // line noise: resynchronise on the next byte
      continue;
    }
    size_t size = 2;
    uint32_t length = 0;
    const uint8_t *payload = nullptr;
    if (vu::HasPayload(command)) {
      if (in.size() < 3) return;
      length = in[2];
      if (length == 0) {
        in.erase(in.begin(), in.begin() + 3);
        continue;
      }
      size = 4 + length;
      if (in.size() < size) return;
      uint8_t check = static_cast<uint8_t>(length);
      for (uint32_t i = 0; i < length; ++i) check ^= in[3 + i];
      if (check != in[3 + length]) {
        // A corrupted request goes unanswered.
        Trace(d, VU_TRACE_REPLY, command, nullptr, 0);
        in.erase(in.begin(), in.begin() + static_cast<long>(size));
        continue;
      }
      payload = in.data() + 3;
    }
    vu::Reply reply = vu::HandleFrame(*d, command, payload, length, Now(),
                                      Timed(), G().timing.restart_ms);
    QueueReply(d, reply.bytes, requestEndUs);
    Trace(d, VU_TRACE_REPLY, command, reply.bytes.data(), reply.bytes.size());
    in.erase(in.begin(), in.begin() + static_cast<long>(size));
  }
}

}  // namespace

extern "C" {

FT_STATUS FTAPI FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags) {
  Lock lock(G().mutex);
  vu::Registry &g = G();
  if (g.listFail != FT_OK) return g.listFail;
  DWORD count = static_cast<DWORD>(g.devices.size());
  if (Flags & FT_LIST_NUMBER_ONLY) {
    if (!pArg1) return FT_INVALID_PARAMETER;
    *static_cast<DWORD *>(pArg1) = count;
    return FT_OK;
  }
  if ((Flags & kListByIndex) && pArg2) {
    auto index = static_cast<DWORD>(reinterpret_cast<uintptr_t>(pArg1));
    if (index >= count) return FT_DEVICE_NOT_FOUND;
    const vu_device_config &c = g.devices[index]->config;
    if (Flags & kOpenByDescription) {
      std::memcpy(pArg2, c.description, sizeof c.description);
      static_cast<char *>(pArg2)[sizeof c.description - 1] = 0;
    } else if (Flags & kOpenBySerial) {
      std::memcpy(pArg2, c.serial, sizeof c.serial);
    } else {
      return FT_INVALID_PARAMETER;
    }
    return FT_OK;
  }
  return FT_INVALID_PARAMETER;
}

FT_STATUS FTAPI FT_Open(int deviceNumber, FT_HANDLE *pHandle) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(deviceNumber);
  if (!pHandle) return FT_INVALID_PARAMETER;
  if (!d) return FT_DEVICE_NOT_FOUND;
  FT_STATUS status;
  if (Fails(d, VU_CALL_OPEN, &status)) return status;
  if (d->open) return FT_DEVICE_NOT_OPENED;
  d->open = true;
  d->handleId = G().nextHandle++;
  d->baud = 9600;
  d->wordLength = 8;
  d->stopBits = 0;
  d->parity = 0;
  d->flow = 0;
  d->input.clear();
  d->rx.clear();
  // Opening the port waits for a board that was restarting (instant model).
  if (!Timed() && d->board.restarting) vu::FinishRestart(*d);
  *pHandle = reinterpret_cast<FT_HANDLE>(static_cast<uintptr_t>(d->handleId));
  return FT_OK;
}

FT_STATUS FTAPI FT_Close(FT_HANDLE ftHandle) {
  Lock lock(G().mutex);
  Device *d = FromHandle(ftHandle);
  if (!d) return FT_INVALID_HANDLE;
  FT_STATUS status = FT_OK;
  Fails(d, VU_CALL_CLOSE, &status);  // the handle is released all the same
  d->open = false;
  d->handleId = 0;
  d->input.clear();
  d->rx.clear();
  return status;
}

FT_STATUS FTAPI FT_ResetDevice(FT_HANDLE ftHandle) {
  Lock lock(G().mutex);
  Device *d = FromHandle(ftHandle);
  if (!d) return FT_INVALID_HANDLE;
  FT_STATUS status;
  if (Fails(d, VU_CALL_RESET_DEVICE, &status)) return status;
  d->input.clear();
  d->rx.clear();
  return FT_OK;
}

FT_STATUS FTAPI FT_GetDeviceInfo(FT_HANDLE ftHandle, FT_DEVICE *lpftDevice,
                                 DWORD *lpdwID, char *SerialNumber,
                                 char *Description, void * /*Dummy*/) {
  Lock lock(G().mutex);
  Device *d = FromHandle(ftHandle);
  if (!d) return FT_INVALID_HANDLE;
  FT_STATUS status;
  if (Fails(d, VU_CALL_GET_INFO, &status)) return status;
  if (lpftDevice) *lpftDevice = d->config.device_type;
  if (lpdwID) *lpdwID = d->config.device_id;
  if (SerialNumber) std::memcpy(SerialNumber, d->config.serial, 16);
  if (Description) {
    std::memcpy(Description, d->config.description, 64);
    Description[63] = 0;
  }
  return FT_OK;
}

FT_STATUS FTAPI FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate) {
  Lock lock(G().mutex);
  Device *d = FromHandle(ftHandle);
  if (!d) return FT_INVALID_HANDLE;
  FT_STATUS status;
  if (Fails(d, VU_CALL_SET_BAUD, &status)) return status;
  d->baud = static_cast<uint32_t>(BaudRate);
  return FT_OK;
}

FT_STATUS FTAPI FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR WordLength,
                                          UCHAR StopBits, UCHAR Parity) {
  Lock lock(G().mutex);
  Device *d = FromHandle(ftHandle);
  if (!d) return FT_INVALID_HANDLE;
  FT_STATUS status;
  if (Fails(d, VU_CALL_SET_DATA, &status)) return status;
  d->wordLength = WordLength;
  d->stopBits = StopBits;
  d->parity = Parity;
  return FT_OK;
}

FT_STATUS FTAPI FT_SetFlowControl(FT_HANDLE ftHandle, USHORT FlowControl,
                                  UCHAR /*XonChar*/, UCHAR /*XoffChar*/) {
  Lock lock(G().mutex);
  Device *d = FromHandle(ftHandle);
  if (!d) return FT_INVALID_HANDLE;
  FT_STATUS status;
  if (Fails(d, VU_CALL_SET_FLOW, &status)) return status;
  d->flow = FlowControl;
  return FT_OK;
}

FT_STATUS FTAPI FT_SetChars(FT_HANDLE ftHandle, UCHAR /*EventChar*/,
                            UCHAR /*EventCharEnabled*/, UCHAR /*ErrorChar*/,
                            UCHAR /*ErrorCharEnabled*/) {
  Lock lock(G().mutex);
  Device *d = FromHandle(ftHandle);
  if (!d) return FT_INVALID_HANDLE;
  FT_STATUS status;
  if (Fails(d, VU_CALL_SET_CHARS, &status)) return status;
  return FT_OK;
}

FT_STATUS FTAPI FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout,
                               ULONG WriteTimeout) {
  Lock lock(G().mutex);
  Device *d = FromHandle(ftHandle);
  if (!d) return FT_INVALID_HANDLE;
  FT_STATUS status;
  if (Fails(d, VU_CALL_SET_TIMEOUTS, &status)) return status;
  d->readTimeoutMs = static_cast<uint32_t>(ReadTimeout);
  d->writeTimeoutMs = static_cast<uint32_t>(WriteTimeout);
  return FT_OK;
}

FT_STATUS FTAPI FT_Purge(FT_HANDLE ftHandle, ULONG Mask) {
  Lock lock(G().mutex);
  Device *d = FromHandle(ftHandle);
  if (!d) return FT_INVALID_HANDLE;
  FT_STATUS status;
  if (Fails(d, VU_CALL_PURGE, &status)) return status;
  if (Mask & FT_PURGE_RX) d->rx.clear();
  if (Mask & FT_PURGE_TX) d->input.clear();
  return FT_OK;
}

FT_STATUS FTAPI FT_Write(FT_HANDLE ftHandle, void *lpBuffer,
                         DWORD dwBytesToWrite, DWORD *lpBytesWritten) {
  Lock lock(G().mutex);
  Device *d = FromHandle(ftHandle);
  if (!d) return FT_INVALID_HANDLE;
  if (lpBytesWritten) *lpBytesWritten = 0;
  FT_STATUS status;
  if (Fails(d, VU_CALL_WRITE, &status)) return status;
  if (!lpBuffer && dwBytesToWrite) return FT_INVALID_PARAMETER;
  const auto *bytes = static_cast<const uint8_t *>(lpBuffer);
  Trace(d, VU_TRACE_REQUEST, dwBytesToWrite ? bytes[0] : 0, bytes,
        dwBytesToWrite);
  vu::Registry &g = G();
  uint64_t start = std::max(Now(), g.hostLineFreeUs);
  uint64_t end =
      start + static_cast<uint64_t>(std::llround(ByteUs() * dwBytesToWrite));
  if (Timed()) g.hostLineFreeUs = end;
  if (lpBytesWritten) *lpBytesWritten = dwBytesToWrite;
  if (!LineSettingsRight(d)) {
    // Wrong line settings: the board sees noise and answers nothing.
    d->input.clear();
    Trace(d, VU_TRACE_REPLY, dwBytesToWrite ? bytes[0] : 0, nullptr, 0);
    return FT_OK;
  }
  d->input.insert(d->input.end(), bytes, bytes + dwBytesToWrite);
  ProcessInput(d, end);
  return FT_OK;
}

FT_STATUS FTAPI FT_Read(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToRead,
                        DWORD *lpBytesReturned) {
  Lock lock(G().mutex);
  Device *d = FromHandle(ftHandle);
  if (!d) return FT_INVALID_HANDLE;
  if (lpBytesReturned) *lpBytesReturned = 0;
  FT_STATUS status;
  int readMode = 0;
  if (Fails(d, VU_CALL_READ, &status, &readMode)) return status;
  if (!lpBuffer && dwBytesToRead) return FT_INVALID_PARAMETER;
  size_t wanted = dwBytesToRead;
  if (readMode == VU_ONCE_TIMEOUT) wanted = 0;
  if (readMode == VU_ONCE_SHORT) wanted /= 2;
  size_t take = std::min(wanted, d->rx.size());
  if (Timed() && wanted > 0) {
    // The read returns when the last byte asked for has arrived, or when
    // the read time-out has run out with whatever had arrived by then.
    uint64_t now = Now();
    uint64_t deadline = now + uint64_t{d->readTimeoutMs} * 1000;
    uint64_t target;
    if (d->rx.size() >= wanted && d->rx[wanted - 1].readyUs <= deadline) {
      target = std::max(now, d->rx[wanted - 1].readyUs);
    } else {
      target = deadline;
      take = 0;
      while (take < d->rx.size() && take < wanted &&
             d->rx[take].readyUs <= deadline) {
        ++take;
      }
    }
    vu::WaitUntil(lock, target);
    d = FromHandle(ftHandle);  // closed meanwhile by another thread?
    if (!d) return FT_INVALID_HANDLE;
    take = std::min(take, d->rx.size());
  }
  auto *out = static_cast<uint8_t *>(lpBuffer);
  for (size_t i = 0; i < take; ++i) {
    out[i] = d->rx.front().byte;
    d->rx.pop_front();
  }
  if (lpBytesReturned) *lpBytesReturned = static_cast<DWORD>(take);
  return FT_OK;
}
}  // extern "C"
