// A scripted D2XX device for the tests: the test executable defines the
// FT_* functions itself, so the library (static or shared) talks to this.
//
// It records every driver call with its arguments and every frame written,
// answers each written frame with a reply scripted per command (queued
// one-shot replies first, then the command's standing reply), hands the
// reply out byte by byte to FT_Read, fails chosen calls with chosen
// statuses, and imitates a read time-out by returning fewer bytes at once.
#ifndef TAVOCTL_TESTS_FAKE_D2XX_H
#define TAVOCTL_TESTS_FAKE_D2XX_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "d2xx.h"

namespace fake {

using Bytes = std::vector<uint8_t>;

enum class Fn {
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
const char *Name(Fn fn);

struct Call {
  Fn fn;
  int device;  // index of the device the handle belongs to, -1 none
  std::vector<uint64_t> args;  // the scalar arguments after the handle
};

struct Device {
  DWORD id = 0x16C91003;
  std::string serial = "TV0000000000001";  // 15 characters and a 0
  // FT_Open reports success but hands back a null handle.
  bool nullHandle = false;
  // Setup calls of this device that fail, with their status.
  std::map<Fn, FT_STATUS> failing;
};

// Reply builders (the check byte is computed).
Bytes Status(uint8_t status);                   // a one-byte reply
Bytes Body(uint8_t status, const Bytes &data);  // status, L, data, check
Bytes Item(uint8_t tag, const Bytes &value);    // L, tag, value: one list entry
Bytes Concat(std::initializer_list<Bytes> parts);

class D2xx {
 public:
  static D2xx &Get();
  void Clear();  // forget devices, scripts, failures and records

  std::vector<Device> devices{Device{}};

  // Every call and every frame written, in order.
  std::vector<Call> calls;
  std::vector<Bytes> frames;

  // Replies: a one-shot queue per command, then a standing reply per
  // command; a frame with neither goes unanswered (a read time-out). An
  // empty reply is silence.
  void Queue(uint8_t command, Bytes reply) {
    queued_[command].push_back(std::move(reply));
  }
  void Standing(uint8_t command, Bytes reply) {
    standing_[command] = std::move(reply);
  }
  void ClearStanding(uint8_t command) { standing_.erase(command); }
  // Optional: computes the reply of a frame, consulted before the scripts.
  // Returning false falls through to the scripts.
  std::function<bool(const Bytes &frame, Bytes &reply)> responder;
  // Called after each write, e.g. to enter an export from inside the driver.
  std::function<void(const Bytes &frame)> onWrite;

  // The next `times` calls of `fn` (any device) fail with `status`;
  // times < 0 means every call from now on.
  void Fail(Fn fn, FT_STATUS status, int times = 1);
  // The n-th (0-based) call of `fn` from now on fails, once.
  void FailNth(Fn fn, int n, FT_STATUS status);

  // Calls of one kind, and handles open right now.
  std::vector<Call> CallsOf(Fn fn) const;
  int OpenHandles() const;
  // Frames written whose command byte is `command`.
  std::vector<Bytes> FramesOf(uint8_t command) const;

  // Bytes waiting to be read (what the unit has sent).
  std::deque<uint8_t> rx;

  // --- used by the FT_* definitions
  FT_STATUS Enter(Fn fn, FT_HANDLE handle, std::vector<uint64_t> args);
  void Written(const uint8_t *data, DWORD size);
  int DeviceOf(FT_HANDLE handle) const;
  FT_HANDLE HandleOf(int device);
  std::vector<bool> open;

 private:
  std::map<uint8_t, std::deque<Bytes>> queued_;
  std::map<uint8_t, Bytes> standing_;
  std::map<Fn, std::pair<FT_STATUS, int>> failing_;
  std::map<Fn, std::map<int, FT_STATUS>> failNth_;
  std::map<Fn, int> seen_;
  char handles_[64] = {};
};

// Time: the library's pauses and local clock, replaced for the tests.
struct Clock {
  static Clock &Get();
  void Install();  // hooks the library's OS layer (static builds only)
  uint32_t sleptMs = 0;
  int sleeps = 0;
  int year = 2026, month = 12, day = 7, hour = 2, minute = 27, second = 15;
};

}  // namespace fake

#endif  // TAVOCTL_TESTS_FAKE_D2XX_H
