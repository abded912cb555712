// libtavovu-remote.so: a D2XX provider whose FT_* calls, and the virtual
// unit's vu_ calls, are carried out by tavovu-server in another process.
// Load it in place of libtavovu.so; TAVOVU_SOCKET names the server's socket.
//
// One connection per process, opened at the first call and again after the
// server has gone away (its handles are then stale: the calls on them fail
// with FT_INVALID_HANDLE and the library opens the unit anew).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "protocol.h"
#include "tavovu.h"

#pragma GCC visibility push(default)
#include "d2xx.h"
#pragma GCC visibility pop

namespace {

using vuremote::Reply;
using vuremote::Request;

std::mutex g_mutex;
int g_fd = -1;

int Connect() {
  std::string path = vuremote::DefaultSocketPath();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return -1;
  path.copy(addr.sun_path, path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One exchange with the server; false when it cannot be reached.
bool Call(const Request &q, Reply *r) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (g_fd < 0) g_fd = Connect();
    if (g_fd < 0) return false;
    if (vuremote::SendAll(g_fd, vuremote::Encode(q)) &&
        vuremote::ReadReply(g_fd, r)) {
      return true;
    }
    ::close(g_fd);
    g_fd = -1;
  }
  return false;
}

Request Make(uint32_t op, FT_HANDLE h = nullptr, int64_t a = 0, int64_t b = 0,
             int64_t c = 0) {
  Request q;
  q.op = op;
  q.handle = reinterpret_cast<uintptr_t>(h);
  q.a = a;
  q.b = b;
  q.c = c;
  return q;
}

// A D2XX call: the server's status, or an I/O error without a server.
FT_STATUS Ft(const Request &q, Reply *r = nullptr) {
  Reply local;
  if (!r) r = &local;
  if (!Call(q, r)) return FT_IO_ERROR;
  return static_cast<FT_STATUS>(r->status);
}

// A vu_ call: its result, or VU_ERR_DEVICE without a server.
int Vu(const Request &q, Reply *r = nullptr) {
  Reply local;
  if (!r) r = &local;
  if (!Call(q, r)) return VU_ERR_DEVICE;
  return static_cast<int>(r->status);
}

template <typename T>
Request WithData(Request q, const T &value) {
  const auto *p = reinterpret_cast<const uint8_t *>(&value);
  q.data.assign(p, p + sizeof value);
  return q;
}

template <typename T>
void CopyOut(const Reply &r, T *out) {
  if (out && r.data.size() == sizeof(T)) {
    std::memcpy(out, r.data.data(), sizeof(T));
  }
}

}  // namespace

extern "C" {

FT_STATUS FTAPI FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags) {
  Reply r;
  bool numberOnly = Flags & FT_LIST_NUMBER_ONLY;
  if (numberOnly ? !pArg1 : !pArg2) return FT_INVALID_PARAMETER;
  FT_STATUS s =
      Ft(Make(vuremote::kListDevices, nullptr, 0, Flags,
              numberOnly
                  ? 0
                  : static_cast<int64_t>(reinterpret_cast<uintptr_t>(pArg1))),
         &r);
  if (s != FT_OK) return s;
  if (numberOnly) {
    *static_cast<DWORD *>(pArg1) = static_cast<DWORD>(r.a);
  } else {
    // Serial numbers take 16 bytes, descriptions 64.
    size_t n = (Flags & 2u) ? 64 : 16;
    std::memcpy(pArg2, r.data.data(), std::min(n, r.data.size()));
  }
  return FT_OK;
}

FT_STATUS FTAPI FT_Open(int deviceNumber, FT_HANDLE *pHandle) {
  if (!pHandle) return FT_INVALID_PARAMETER;
  Reply r;
  FT_STATUS s = Ft(Make(vuremote::kOpen, nullptr, deviceNumber), &r);
  if (s == FT_OK) {
    *pHandle = reinterpret_cast<FT_HANDLE>(static_cast<uintptr_t>(r.handle));
  }
  return s;
}

FT_STATUS FTAPI FT_Close(FT_HANDLE h) { return Ft(Make(vuremote::kClose, h)); }

FT_STATUS FTAPI FT_ResetDevice(FT_HANDLE h) {
  return Ft(Make(vuremote::kResetDevice, h));
}

FT_STATUS FTAPI FT_GetDeviceInfo(FT_HANDLE h, FT_DEVICE *lpftDevice,
                                 DWORD *lpdwID, char *SerialNumber,
                                 char *Description, void * /*Dummy*/) {
  Reply r;
  FT_STATUS s = Ft(Make(vuremote::kGetDeviceInfo, h), &r);
  if (s != FT_OK) return s;
  if (r.data.size() != 4 + 16 + 64) return FT_IO_ERROR;
  if (lpftDevice) *lpftDevice = static_cast<FT_DEVICE>(r.a);
  if (lpdwID) *lpdwID = vuremote::Get<uint32_t>(r.data.data());
  if (SerialNumber) std::memcpy(SerialNumber, r.data.data() + 4, 16);
  if (Description) std::memcpy(Description, r.data.data() + 20, 64);
  return FT_OK;
}

FT_STATUS FTAPI FT_SetBaudRate(FT_HANDLE h, ULONG BaudRate) {
  return Ft(Make(vuremote::kSetBaudRate, h, BaudRate));
}

FT_STATUS FTAPI FT_SetDataCharacteristics(FT_HANDLE h, UCHAR WordLength,
                                          UCHAR StopBits, UCHAR Parity) {
  return Ft(
      Make(vuremote::kSetDataCharacteristics, h, WordLength, StopBits, Parity));
}

FT_STATUS FTAPI FT_SetFlowControl(FT_HANDLE h, USHORT FlowControl,
                                  UCHAR /*XonChar*/, UCHAR /*XoffChar*/) {
  return Ft(Make(vuremote::kSetFlowControl, h, FlowControl));
}

FT_STATUS FTAPI FT_SetChars(FT_HANDLE h, UCHAR, UCHAR, UCHAR, UCHAR) {
  return Ft(Make(vuremote::kSetChars, h));
}

FT_STATUS FTAPI FT_SetTimeouts(FT_HANDLE h, ULONG ReadTimeout,
                               ULONG WriteTimeout) {
  return Ft(Make(vuremote::kSetTimeouts, h, ReadTimeout, WriteTimeout));
}

FT_STATUS FTAPI FT_Purge(FT_HANDLE h, ULONG Mask) {
  return Ft(Make(vuremote::kPurge, h, Mask));
}

FT_STATUS FTAPI FT_Write(FT_HANDLE h, void *lpBuffer, DWORD dwBytesToWrite,
                         DWORD *lpBytesWritten) {
  if (lpBytesWritten) *lpBytesWritten = 0;
  if (!lpBuffer && dwBytesToWrite) return FT_INVALID_PARAMETER;
  Request q = Make(vuremote::kWrite, h);
  const auto *p = static_cast<const uint8_t *>(lpBuffer);
  q.data.assign(p, p + dwBytesToWrite);
  Reply r;
  FT_STATUS s = Ft(q, &r);
  if (lpBytesWritten) *lpBytesWritten = static_cast<DWORD>(r.a);
  return s;
}

FT_STATUS FTAPI FT_Read(FT_HANDLE h, void *lpBuffer, DWORD dwBytesToRead,
                        DWORD *lpBytesReturned) {
  if (lpBytesReturned) *lpBytesReturned = 0;
  if (!lpBuffer && dwBytesToRead) return FT_INVALID_PARAMETER;
  Reply r;
  FT_STATUS s = Ft(Make(vuremote::kRead, h, dwBytesToRead), &r);
  size_t n = std::min<size_t>(r.data.size(), dwBytesToRead);
  if (n) std::memcpy(lpBuffer, r.data.data(), n);
  if (lpBytesReturned) *lpBytesReturned = static_cast<DWORD>(n);
  return s;
}

// The virtual unit's API, as far as a remote driver needs it: play the
// customer, stage faults, read back.
void vu_reset(void) { Vu(Make(vuremote::kReset)); }

int vu_insert_coin(int device, int value) {
  return Vu(Make(vuremote::kInsertCoin, nullptr, device, value));
}

int vu_insert_note(int device, int value) {
  return Vu(Make(vuremote::kInsertNote, nullptr, device, value));
}

int vu_set_coin_stock(int device, const int counts[4]) {
  if (!counts) return VU_ERR_ARGUMENT;
  int c[4] = {counts[0], counts[1], counts[2], counts[3]};
  return Vu(WithData(Make(vuremote::kSetCoinStock, nullptr, device), c));
}

int vu_set_note_stock(int device, int count) {
  return Vu(Make(vuremote::kSetNoteStock, nullptr, device, count));
}

int vu_jam(int device, int unit, int on) {
  return Vu(Make(vuremote::kJam, nullptr, device, unit, on));
}

int vu_remove_unit(int device, int unit, int on) {
  return Vu(Make(vuremote::kRemoveUnit, nullptr, device, unit, on));
}

int vu_power_fail(int device) {
  return Vu(Make(vuremote::kPowerFail, nullptr, device));
}

int vu_add_fault(int device, const vu_fault *fault) {
  if (!fault) return VU_ERR_ARGUMENT;
  return Vu(WithData(Make(vuremote::kAddFault, nullptr, device), *fault));
}

int vu_clear_faults(int device) {
  return Vu(Make(vuremote::kClearFaults, nullptr, device));
}

int vu_get_state(int device, vu_state *state) {
  Reply r;
  int s = Vu(Make(vuremote::kGetState, nullptr, device), &r);
  if (s == VU_OK) CopyOut(r, state);
  return s;
}

int vu_check_money(int device, vu_money_report *report) {
  Reply r;
  int s = Vu(Make(vuremote::kCheckMoney, nullptr, device), &r);
  if (s >= 0) CopyOut(r, report);
  return s;
}

void vu_set_timing(const vu_timing *timing) {
  Request q = Make(vuremote::kSetTiming);
  if (timing) q = WithData(q, *timing);
  Vu(q);
}

}  // extern "C"
