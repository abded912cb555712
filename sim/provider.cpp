// The D2XX side of the virtual unit: the driver's device list, the ports,
// the receive queues and the wire-timing model, and the vu_ functions that
// configure and drive the model.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "model.h"
#include "tavovu.h"

#ifndef _WIN32
#pragma GCC visibility push(default)
#endif
#include "link/d2xx.h"
#ifndef _WIN32
#pragma GCC visibility pop
#endif

namespace {

using vu::Device;

constexpr DWORD kListByIndex = 0x40000000u;
constexpr DWORD kOpenBySerial = 1u;
constexpr DWORD kOpenByDescription = 2u;
constexpr double kDefaultByteUs = 10.0 * 1e6 / 38400.0;  // 8N1: 10 bits

struct Global {
  std::recursive_mutex mutex;
  std::vector<std::unique_ptr<Device>> devices;
  FT_STATUS listFail = FT_OK;
  vu_timing timing{};
  uint64_t virtualUs = 0;
  uint64_t hostLineFreeUs = 0;
  std::chrono::steady_clock::time_point origin =
      std::chrono::steady_clock::now();
  vu_trace_fn trace = nullptr;
  void *traceContext = nullptr;
  uint32_t nextHandle = 0x100;

  Global() { AddDefault(); }
  void AddDefault() {
    vu_device_config config;
    vu_default_config(&config);
    auto device = std::make_unique<Device>();
    vu::InitDevice(*device, config);
    devices.push_back(std::move(device));
  }
};

Global &G() {
  static Global global;
  return global;
}

using Lock = std::unique_lock<std::recursive_mutex>;

bool Timed() { return G().timing.enabled != 0; }

double ByteUs() {
  return G().timing.byte_us > 0 ? G().timing.byte_us : kDefaultByteUs;
}

uint64_t Now() {
  Global &g = G();
  if (!g.timing.enabled) return 0;
  if (g.timing.real_clock) {
    auto elapsed = std::chrono::steady_clock::now() - g.origin;
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
  }
  return g.virtualUs;
}

// Moves model time on to `target`; on the real clock the caller's thread
// sleeps, without the lock.
void WaitUntil(Lock &lock, uint64_t target) {
  Global &g = G();
  if (!g.timing.enabled) return;
  if (!g.timing.real_clock) {
    g.virtualUs = std::max(g.virtualUs, target);
    return;
  }
  uint64_t now = Now();
  if (target <= now) return;
  lock.unlock();
  std::this_thread::sleep_for(std::chrono::microseconds(target - now));
  lock.lock();
}

Device *DeviceAt(int index) {
  Global &g = G();
  if (index < 0 || index >= static_cast<int>(g.devices.size())) return nullptr;
  return g.devices[static_cast<size_t>(index)].get();
}

Device *FromHandle(FT_HANDLE handle) {
  uint32_t id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
  if (id == 0) return nullptr;
  for (auto &d : G().devices) {
    if (d->open && d->handleId == id) return d.get();
  }
  return nullptr;
}

int IndexOf(const Device *device) {
  auto &devices = G().devices;
  for (size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].get() == device) return static_cast<int>(i);
  }
  return -1;
}

// The status a D2XX call returns on a device: its failure when asked for.
bool Fails(const Device *d, uint32_t call, FT_STATUS *status) {
  if (d->config.fail_calls & call) {
    *status = d->config.fail_status ? FT_STATUS{d->config.fail_status}
                                    : FT_STATUS{FT_IO_ERROR};
    return true;
  }
  return false;
}

void Trace(const Device *d, int direction, uint8_t command,
           const uint8_t *bytes, size_t length) {
  Global &g = G();
  if (!g.trace) return;
  vu_trace_event event{
      IndexOf(d), direction, command, bytes, static_cast<uint32_t>(length),
      Now()};
  g.trace(g.traceContext, &event);
}

bool LineSettingsRight(const Device *d) {
  return d->baud == 38400 && d->wordLength == 8 && d->stopBits == 0 &&
         d->parity == 0 && d->flow == 0;
}

void QueueReply(Device *d, const std::vector<uint8_t> &bytes,
                uint64_t requestEndUs) {
  double byteUs = ByteUs();
  double start = static_cast<double>(
      std::max(requestEndUs + static_cast<uint64_t>(G().timing.latency_us),
               d->lineFreeUs));
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto ready =
        static_cast<uint64_t>(start + byteUs * static_cast<double>(i + 1));
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

// ------------------------------------------------------------------ D2XX

extern "C" {

FT_STATUS FTAPI FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags) {
  Lock lock(G().mutex);
  Global &g = G();
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
  Global &g = G();
  uint64_t start = std::max(Now(), g.hostLineFreeUs);
  uint64_t end = start + static_cast<uint64_t>(ByteUs() * dwBytesToWrite);
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
  if (Fails(d, VU_CALL_READ, &status)) return status;
  if (!lpBuffer && dwBytesToRead) return FT_INVALID_PARAMETER;
  size_t wanted = dwBytesToRead;
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
    WaitUntil(lock, target);
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

// ------------------------------------------------------------ vu_ API

void vu_default_config(vu_device_config *config) {
  if (!config) return;
  *config = vu_device_config{};
  config->device_id = 0x16C91003;
  config->device_type = 5;  // the vendor's code for this bridge chip family
  std::strncpy(config->serial, "TAVOVU00000001", sizeof config->serial);
  std::strncpy(config->description, "TAVO payment unit (virtual)",
               sizeof config->description - 1);
  config->coin_fitted = 1;
  config->note_fitted = 1;
  config->coin_unit_id[0] = 0x43;
  config->coin_unit_id[1] = 0x01;
  config->note_unit_id[0] = 0x4E;
  config->note_unit_id[1] = 0x01;
  for (int &c : config->coin_stock) c = 20;
  config->note_stock = 10;
  config->note_escrow = 1;
  config->payout_polls = 1;
  std::strncpy(config->board_text, "TAVO virtual payment unit, board 1.0",
               sizeof config->board_text - 1);
}

void vu_reset(void) {
  Lock lock(G().mutex);
  Global &g = G();
  g.devices.clear();
  g.AddDefault();
  g.listFail = FT_OK;
  g.timing = vu_timing{};
  g.virtualUs = 0;
  g.hostLineFreeUs = 0;
  g.trace = nullptr;
  g.traceContext = nullptr;
}

void vu_clear_devices(void) {
  Lock lock(G().mutex);
  G().devices.clear();
}

int vu_add_device(const vu_device_config *config) {
  if (!config) return VU_ERR_ARGUMENT;
  Lock lock(G().mutex);
  auto device = std::make_unique<Device>();
  vu::InitDevice(*device, *config);
  G().devices.push_back(std::move(device));
  return static_cast<int>(G().devices.size()) - 1;
}

int vu_device_count(void) {
  Lock lock(G().mutex);
  return static_cast<int>(G().devices.size());
}

void vu_fail_list(uint32_t status) {
  Lock lock(G().mutex);
  G().listFail = status;
}

int vu_fail_calls(int device, uint32_t calls, uint32_t status) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  d->config.fail_calls = calls;
  d->config.fail_status = status;
  return VU_OK;
}

int vu_insert_coin(int device, int value) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  return d ? vu::InsertCoin(*d, value) : VU_ERR_DEVICE;
}

int vu_insert_note(int device, int value) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  return d ? vu::InsertNote(*d, value) : VU_ERR_DEVICE;
}

int vu_set_coin_stock(int device, const int counts[4]) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (!counts) return VU_ERR_ARGUMENT;
  for (int k = 0; k < 4; ++k) {
    if (counts[k] < 0 || counts[k] > vu::kTubeCapacity) return VU_ERR_ARGUMENT;
  }
  for (int k = 0; k < 4; ++k) {
    d->money.loaded[k] += counts[k] - d->coin.stock[k];
    d->coin.stock[k] = counts[k];
  }
  return VU_OK;
}

int vu_set_note_stock(int device, int count) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (count < 0 || count > vu::kNoteCapacity) return VU_ERR_ARGUMENT;
  d->money.loaded[4] += count - d->note.stock;
  d->note.stock = count;
  return VU_OK;
}

int vu_jam(int device, int unit, int on) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (unit == VU_COIN) {
    d->coin.jammed = on != 0;
  } else if (unit == VU_NOTE) {
    d->note.jammed = on != 0;
  } else {
    return VU_ERR_ARGUMENT;
  }
  return VU_OK;
}

int vu_remove_unit(int device, int unit, int on) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (unit == VU_COIN) {
    d->coin.removed = on != 0;
  } else if (unit == VU_NOTE) {
    d->note.removed = on != 0;
  } else {
    return VU_ERR_ARGUMENT;
  }
  return VU_OK;
}

int vu_power_fail(int device) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  vu::PowerFail(*d, Now(), Timed(), G().timing.restart_ms);
  return VU_OK;
}

int vu_add_fault(int device, const vu_fault *fault) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (!fault || fault->kind < VU_FAULT_SILENCE ||
      fault->kind > VU_FAULT_STATUS) {
    return VU_ERR_ARGUMENT;
  }
  d->faults.push_back(vu::FaultRule{*fault, 0, 0});
  return VU_OK;
}

int vu_clear_faults(int device) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  d->faults.clear();
  return VU_OK;
}

int vu_get_state(int device, vu_state *state) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (!state) return VU_ERR_ARGUMENT;
  vu_state s{};
  const vu::Board &b = d->board;
  s.open = d->open;
  s.started = b.started;
  s.restarting = b.restarting;
  std::memcpy(s.clock, b.clock, 7);
  s.dots = b.dots;
  std::memcpy(s.digits, b.digits, 4);
  s.output_port = b.outputPort;
  std::memcpy(s.buzzer, b.buzzer, sizeof s.buzzer);
  s.buzzer_length = b.buzzerLength;
  s.buzzer_commands = b.buzzerCommands;
  std::memcpy(s.meters, b.meters, sizeof s.meters);
  s.backup_stored = b.backupStored;
  s.baud_rate = d->baud;
  s.read_timeout_ms = d->readTimeoutMs;
  s.write_timeout_ms = d->writeTimeoutMs;
  const vu::CoinUnit &c = d->coin;
  s.coin_fitted = c.fitted && !c.removed;
  s.coin_jammed = c.jammed;
  s.coin_accepting = c.accepting;
  for (int k = 0; k < 4; ++k) {
    s.coin_stock[k] = c.stock[k];
    s.coin_in[k] = c.in[k];
    s.coin_out[k] = c.out[k];
  }
  s.coin_payout_running = c.payoutPolls > 0;
  s.coin_status = vu::CoinStatus(c);
  const vu::NoteUnit &n = d->note;
  s.note_fitted = n.fitted && !n.removed;
  s.note_jammed = n.jammed;
  s.note_accepting = n.accepting;
  s.note_stock = n.stock;
  s.note_escrow = n.escrow;
  s.note_out = n.out;
  s.note_payout_running = n.payoutPolls > 0;
  vu::NoteStatus(n, s.note_status);
  s.frames = d->frames;
  std::memcpy(s.frames_by_command, d->framesByCommand,
              sizeof s.frames_by_command);
  *state = s;
  return VU_OK;
}

int vu_check_money(int device, vu_money_report *report) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  return vu::CheckMoney(*d, report);
}

void vu_set_timing(const vu_timing *timing) {
  Lock lock(G().mutex);
  Global &g = G();
  g.timing = timing ? *timing : vu_timing{};
  if (g.timing.restart_ms <= 0) g.timing.restart_ms = 1500;
  g.virtualUs = 0;
  g.hostLineFreeUs = 0;
  g.origin = std::chrono::steady_clock::now();
  for (auto &d : g.devices) {
    d->lineFreeUs = 0;
    for (auto &b : d->rx) b.readyUs = 0;
  }
}

uint64_t vu_now_us(void) {
  Lock lock(G().mutex);
  return Now();
}

void vu_set_trace(vu_trace_fn hook, void *context) {
  Lock lock(G().mutex);
  G().trace = hook;
  G().traceContext = context;
}

size_t vu_describe(const vu_trace_event *event, char *text, size_t size) {
  if (!event || !text || size == 0) return 0;
  return vu::Describe(*event, text, size);
}

}  // extern "C"
