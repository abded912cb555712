// Eight threads call random exports (opens and closes among them) with
// good, stale and wrong handles against the virtual unit, while a customer
// inserts coins and notes, for a bounded time (TAVOCTL_THREAD_SECONDS,
// default 3). Built by the tsan preset, where ThreadSanitizer fails the run
// on any data race, and by the Linux presets for a shorter run.
//
// The busy guard lets one export run at a time, so one export's driver
// calls must never interleave with another's. This executable defines the
// D2XX functions itself (the library binds to the executable's first) and
// passes each call on to the virtual unit, noting on the way which export
// made it. It counts:
//   - exports whose driver calls had another export's calls in between;
//   - driver calls made while another thread was inside the driver;
//   - driver calls made outside any export;
// all three must be 0. Every result code must have the shape the header
// gives it: a busy code that names an export, or a code of the export
// called (or of a step that several exports share).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "d2xx.h"
#include "tavoctl.h"
#include "tavovu.h"

namespace {

// ----------------------------------------------------- watching the driver

// Which export this thread runs now (0: none), and what its calls saw.
thread_local uint64_t currentExport = 0;
thread_local uint32_t exportDriverCalls = 0;
thread_local bool exportInterleaved = false;

std::atomic<uint64_t> lastExport{0};  // the export that made the last call
std::atomic<int> insideDriver{0};
std::atomic<uint64_t> driverCalls{0}, overlapping{0}, outsideExports{0};

struct Watch {
  Watch() {
    driverCalls.fetch_add(1, std::memory_order_relaxed);
    if (insideDriver.fetch_add(1) != 0) overlapping.fetch_add(1);
    if (currentExport == 0) outsideExports.fetch_add(1);
    uint64_t previous = lastExport.exchange(currentExport);
    if (exportDriverCalls > 0 && previous != currentExport)
      exportInterleaved = true;
    ++exportDriverCalls;
  }
  ~Watch() { insideDriver.fetch_sub(1); }
};

// The virtual unit's definitions, found after this executable's own.
template <typename Fn>
Fn Next(const char *name) {
  void *f = dlsym(RTLD_NEXT, name);
  if (f == nullptr) {
    std::fprintf(stderr, "thread_test: %s not found after the executable\n",
                 name);
    std::abort();
  }
  return reinterpret_cast<Fn>(f);
}

#define PASS_ON(name, ...)                                 \
  static const auto next = Next<decltype(&::name)>(#name); \
  Watch watch;                                             \
  return next(__VA_ARGS__)

}  // namespace

extern "C" {

#define TAVO_EXPORTED __attribute__((visibility("default")))

TAVO_EXPORTED FT_STATUS FT_ListDevices(void *a, void *b, DWORD flags) {
  PASS_ON(FT_ListDevices, a, b, flags);
}
TAVO_EXPORTED FT_STATUS FT_Open(int number, FT_HANDLE *handle) {
  PASS_ON(FT_Open, number, handle);
}
TAVO_EXPORTED FT_STATUS FT_Close(FT_HANDLE h) { PASS_ON(FT_Close, h); }
TAVO_EXPORTED FT_STATUS FT_ResetDevice(FT_HANDLE h) {
  PASS_ON(FT_ResetDevice, h);
}
TAVO_EXPORTED FT_STATUS FT_GetDeviceInfo(FT_HANDLE h, FT_DEVICE *type,
                                         DWORD *id, char *serial,
                                         char *description, void *dummy) {
  PASS_ON(FT_GetDeviceInfo, h, type, id, serial, description, dummy);
}
TAVO_EXPORTED FT_STATUS FT_SetBaudRate(FT_HANDLE h, ULONG baud) {
  PASS_ON(FT_SetBaudRate, h, baud);
}
TAVO_EXPORTED FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, UCHAR bits,
                                                  UCHAR stop, UCHAR parity) {
  PASS_ON(FT_SetDataCharacteristics, h, bits, stop, parity);
}
TAVO_EXPORTED FT_STATUS FT_SetFlowControl(FT_HANDLE h, USHORT flow, UCHAR on,
                                          UCHAR off) {
  PASS_ON(FT_SetFlowControl, h, flow, on, off);
}
TAVO_EXPORTED FT_STATUS FT_SetChars(FT_HANDLE h, UCHAR ev, UCHAR evOn,
                                    UCHAR err, UCHAR errOn) {
  PASS_ON(FT_SetChars, h, ev, evOn, err, errOn);
}
TAVO_EXPORTED FT_STATUS FT_SetTimeouts(FT_HANDLE h, ULONG readMs,
                                       ULONG writeMs) {
  PASS_ON(FT_SetTimeouts, h, readMs, writeMs);
}
TAVO_EXPORTED FT_STATUS FT_Purge(FT_HANDLE h, ULONG mask) {
  PASS_ON(FT_Purge, h, mask);
}
TAVO_EXPORTED FT_STATUS FT_Write(FT_HANDLE h, void *buffer, DWORD size,
                                 DWORD *written) {
  PASS_ON(FT_Write, h, buffer, size, written);
}
TAVO_EXPORTED FT_STATUS FT_Read(FT_HANDLE h, void *buffer, DWORD size,
                                DWORD *got) {
  PASS_ON(FT_Read, h, buffer, size, got);
}

}  // extern "C"

namespace {

// ------------------------------------------------------------ the callers

// A random number from 0 to n - 1.
uint32_t Below(std::mt19937 &rng, uint32_t n) {
  return static_cast<uint32_t>(rng() % n);
}

constexpr int kThreads = 8;
constexpr int kExports = 20;

std::atomic<uint32_t> openHandle{0};   // what the last open handed out
std::atomic<uint32_t> staleHandle{0};  // the one before it
std::atomic<uint64_t> nextExport{1};
std::atomic<uint64_t> calls{0}, busy{0}, interleaved{0}, opened{0};
std::mutex badMutex;
std::vector<std::string> bad;  // codes of the wrong shape, first few

// The high bytes an export's codes may carry: its own number, and those of
// the shared steps (note follow-up 0x08, acceptance control 0x12 and 0x13).
bool RightShape(int pick, uint32_t code) {
  static const uint8_t kCodeNumber[kExports] = {
      0x01, 0x02, 0x04, 0x01, 0x05, 0x06, 0x07, 0x10, 0x11, 0x12,
      0x12, 0x13, 0x14, 0x15, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26};
  static const std::set<uint32_t> kFunctions = {
      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x10, 0x11, 0x12,
      0x13, 0x14, 0x15, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26};
  if (code > 0xFFFF) return false;
  if (code == 0) return true;
  uint32_t high = code >> 8;
  if (high == 0) return kFunctions.count(code) != 0;  // busy
  if (high == kCodeNumber[pick]) return true;
  return pick >= 4 && (high == 0x08 || high == 0x12 || high == 0x13);
}

uint32_t Call(int pick, uint32_t h, std::mt19937 &rng) {
  static const uint8_t kPattern[4] = {0x3F, 0x06, 0x5B, 0x4F};
  static const uint8_t kTune[4] = {0x11, 0x22, 0x33, 0xFF};
  PcbData pcb;
  TavoData tavo;
  uint32_t amount = 10 * (1 + Below(rng, 200));
  switch (pick) {
    case 0: {
      uint32_t got = 0;
      uint32_t code = TAVO_Open(&got);
      if (code == 0) {
        staleHandle.store(openHandle.exchange(got));
        opened.fetch_add(1);
      }
      return code;
    }
    case 1:
      return TAVO_Close(h);
    case 2:
      return TAVO_Reset(h);
    case 3:
      return TAVO_ClearBackup(h);
    case 4:
      return TAVO_GetPCBData(h, &pcb);
    case 5:
      return TAVO_GetTAVOData(h, &tavo);
    case 6:
      return TAVO_GetBackupData(h, &tavo);
    case 7:
      return TAVO_TradeBegin(h);
    case 8:
      return TAVO_TradeEnd(h);
    case 9:
      return TAVO_AcceptEx(h, amount * 5, Below(rng, 4));
    case 10:
      return TAVO_Accept(h, amount * 5);
    case 11:
      return TAVO_Charge(h, amount);
    case 12:
      return TAVO_PayBack(h);
    case 13:
      return TAVO_PayOut(h, amount);
    case 14:
      return TAVO_7SegDot(h, Below(rng, 16));
    case 15:
      return TAVO_7SegNum(h, Below(rng, 4), Below(rng, 10000));
    case 16:
      return TAVO_7SegPtn(h, kPattern);
    case 17:
      return TAVO_BuzzCtrl(h, Below(rng, 4), kTune);
    case 18:
      return TAVO_OutputPort(h, Below(rng, 256));
    default:
      return TAVO_UserCnt(h, 1 + Below(rng, 2), Below(rng, 10));
  }
}

// The handle a call is made with: mostly the open one, sometimes none, all
// ones, the one an earlier open handed out, or any number.
uint32_t ChooseHandle(std::mt19937 &rng) {
  switch (Below(rng, 16)) {
    case 0:
      return 0;
    case 1:
      return 0xFFFFFFFFu;
    case 2:
      return staleHandle.load();
    case 3:
      return static_cast<uint32_t>(rng());
    default:
      return openHandle.load();
  }
}

void Caller(int index, std::chrono::steady_clock::time_point end) {
  std::mt19937 rng(0x7A40u + static_cast<unsigned>(index));
  while (std::chrono::steady_clock::now() < end) {
    // Opens, resets and closes are rarer, so that trades get somewhere.
    int pick = static_cast<int>(Below(rng, 64));
    if (pick >= kExports) pick = 4 + pick % (kExports - 4);
    if ((pick <= 3) && Below(rng, 4) != 0) pick = 5;
    uint32_t h = ChooseHandle(rng);

    currentExport = nextExport.fetch_add(1);
    exportDriverCalls = 0;
    exportInterleaved = false;
    uint32_t code = Call(pick, h, rng);
    currentExport = 0;

    calls.fetch_add(1, std::memory_order_relaxed);
    if (exportInterleaved) interleaved.fetch_add(1);
    if (code != 0 && code <= 0xFF) busy.fetch_add(1, std::memory_order_relaxed);
    if (!RightShape(pick, code)) {
      std::lock_guard<std::mutex> lock(badMutex);
      if (bad.size() < 10) {
        char text[64];
        std::snprintf(text, sizeof text, "export %d gave 0x%04X", pick, code);
        bad.push_back(text);
      }
    }
  }
}

// The customer: coins and notes at random moments.
void Customer(std::chrono::steady_clock::time_point end) {
  std::mt19937 rng(0xC0FFEEu);
  static const int kCoins[4] = {10, 50, 100, 500};
  while (std::chrono::steady_clock::now() < end) {
    if (Below(rng, 4) == 0) {
      vu_insert_note(0, 1000);
    } else {
      vu_insert_coin(0, kCoins[Below(rng, 4)]);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + Below(rng, 5)));
  }
}

TEST(Threads, OneExportAtATimeAndNoRace) {
  const char *env = std::getenv("TAVOCTL_THREAD_SECONDS");
  const int seconds = env != nullptr ? std::atoi(env) : 3;
  vu_reset();
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(Caller, i, end);
  threads.emplace_back(Customer, end);
  for (std::thread &t : threads) t.join();
  currentExport = nextExport.fetch_add(1);
  TAVO_Close(openHandle.load());
  currentExport = 0;

  std::printf(
      "threads: %d for %d s; %llu calls, %llu refused busy, %llu opens; "
      "%llu driver calls; interleaved exports %llu, overlapping driver "
      "calls %llu, driver calls outside an export %llu\n",
      kThreads, seconds, static_cast<unsigned long long>(calls.load()),
      static_cast<unsigned long long>(busy.load()),
      static_cast<unsigned long long>(opened.load()),
      static_cast<unsigned long long>(driverCalls.load()),
      static_cast<unsigned long long>(interleaved.load()),
      static_cast<unsigned long long>(overlapping.load()),
      static_cast<unsigned long long>(outsideExports.load()));

  EXPECT_EQ(interleaved.load(), 0u);
  EXPECT_EQ(overlapping.load(), 0u);
  EXPECT_EQ(outsideExports.load(), 0u);
  EXPECT_TRUE(bad.empty()) << bad.front();
  // The run did what it is for: exports ran, and threads met the guard.
  EXPECT_GT(opened.load(), 0u);
  EXPECT_GT(driverCalls.load(), 1000u);
  EXPECT_GT(busy.load(), 0u);
  vu_reset();
}

}  // namespace
