// The frame every export runs in: the busy guard, the handle check and the
// release of the guard, over all twenty exports; and the guard under two
// threads.
#include "api/frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_d2xx.h"
#include "library_state.h"
#include "state/state.h"
#include "tavoctl.h"
#include "unit_script.h"

namespace {

using fake::D2xx;

PcbData pcbOut;
TavoData tavoOut;
const uint8_t kPatterns[4] = {0x01, 0x02, 0x03, 0x04};
const uint8_t kBuzz[2] = {0x10, 0x20};

struct Export {
  const char *name;
  uint8_t codes;  // high byte of its codes
  uint32_t (*call)(uint32_t handle);
};

// Every export but TAVO_Open, with arguments that it would accept.
const Export kExports[] = {
    {"TAVO_Close", 0x02, [](uint32_t h) { return TAVO_Close(h); }},
    {"TAVO_Reset", 0x04, [](uint32_t h) { return TAVO_Reset(h); }},
    {"TAVO_ClearBackup", 0x01, [](uint32_t h) { return TAVO_ClearBackup(h); }},
    {"TAVO_GetPCBData", 0x05,
     [](uint32_t h) { return TAVO_GetPCBData(h, &pcbOut); }},
    {"TAVO_GetTAVOData", 0x06,
     [](uint32_t h) { return TAVO_GetTAVOData(h, &tavoOut); }},
    {"TAVO_GetBackupData", 0x07,
     [](uint32_t h) { return TAVO_GetBackupData(h, &tavoOut); }},
    {"TAVO_TradeBegin", 0x10, [](uint32_t h) { return TAVO_TradeBegin(h); }},
    {"TAVO_TradeEnd", 0x11, [](uint32_t h) { return TAVO_TradeEnd(h); }},
    {"TAVO_AcceptEx", 0x12,
     [](uint32_t h) { return TAVO_AcceptEx(h, 1500, 3); }},
    {"TAVO_Accept", 0x12, [](uint32_t h) { return TAVO_Accept(h, 1500); }},
    {"TAVO_Charge", 0x13, [](uint32_t h) { return TAVO_Charge(h, 100); }},
    {"TAVO_PayBack", 0x14, [](uint32_t h) { return TAVO_PayBack(h); }},
    {"TAVO_PayOut", 0x15, [](uint32_t h) { return TAVO_PayOut(h, 100); }},
    {"TAVO_7SegDot", 0x21, [](uint32_t h) { return TAVO_7SegDot(h, 0x01); }},
    {"TAVO_7SegNum", 0x22, [](uint32_t h) { return TAVO_7SegNum(h, 2, 1234); }},
    {"TAVO_7SegPtn", 0x23,
     [](uint32_t h) { return TAVO_7SegPtn(h, kPatterns); }},
    {"TAVO_BuzzCtrl", 0x24,
     [](uint32_t h) { return TAVO_BuzzCtrl(h, 2, kBuzz); }},
    {"TAVO_OutputPort", 0x25,
     [](uint32_t h) { return TAVO_OutputPort(h, 0x03); }},
    {"TAVO_UserCnt", 0x26, [](uint32_t h) { return TAVO_UserCnt(h, 1, 5); }},
};

// The same exports with arguments that they would refuse: the handle check
// comes before any check of the export's own.
const Export kExportsBadArguments[] = {
    {"TAVO_GetPCBData", 0x05,
     [](uint32_t h) { return TAVO_GetPCBData(h, nullptr); }},
    {"TAVO_GetTAVOData", 0x06,
     [](uint32_t h) { return TAVO_GetTAVOData(h, nullptr); }},
    {"TAVO_GetBackupData", 0x07,
     [](uint32_t h) { return TAVO_GetBackupData(h, nullptr); }},
    {"TAVO_Charge", 0x13, [](uint32_t h) { return TAVO_Charge(h, 0); }},
    {"TAVO_7SegNum", 0x22, [](uint32_t h) { return TAVO_7SegNum(h, 9, 0); }},
    {"TAVO_7SegPtn", 0x23, [](uint32_t h) { return TAVO_7SegPtn(h, nullptr); }},
    {"TAVO_BuzzCtrl", 0x24,
     [](uint32_t h) { return TAVO_BuzzCtrl(h, 3, nullptr); }},
    {"TAVO_UserCnt", 0x26, [](uint32_t h) { return TAVO_UserCnt(h, 3, 1); }},
};

class FrameTest : public fake::LibraryTest {
 protected:
  // Opens the scripted healthy unit and forgets the calls that took.
  uint32_t OpenUnit() {
    fake::UnitScript{}.Install();
    uint32_t handle = 0;
    EXPECT_EQ(TAVO_Open(&handle), 0u);
    d.calls.clear();
    d.frames.clear();
    return handle;
  }
};

TEST_F(FrameTest, WithNoUnitOpenEveryExportAnswersReason01) {
  for (const Export *table : {kExports, kExportsBadArguments}) {
    size_t n = table == kExports ? std::size(kExports)
                                 : std::size(kExportsBadArguments);
    for (size_t i = 0; i < n; ++i) {
      const Export &e = table[i];
      SCOPED_TRACE(e.name);
      for (uint32_t handle : {0u, 1u, 0x5EEDu}) {
        EXPECT_EQ(e.call(handle), TAVO_CODE(e.codes, 0x01u));
        EXPECT_EQ(ApiBusy.load(), 0);
      }
    }
  }
  EXPECT_TRUE(d.calls.empty());
}

TEST_F(FrameTest, WithAnotherHandleEveryExportAnswersReason02) {
  uint32_t handle = OpenUnit();
  const PcbData pcb = Unit.PcbRecord;
  const TavoData live = Unit.LiveRecord;
  for (const Export *table : {kExports, kExportsBadArguments}) {
    size_t n = table == kExports ? std::size(kExports)
                                 : std::size(kExportsBadArguments);
    for (size_t i = 0; i < n; ++i) {
      const Export &e = table[i];
      if (std::strcmp(e.name, "TAVO_Close") == 0) continue;
      SCOPED_TRACE(e.name);
      for (uint32_t other : {0u, handle + 1, handle ^ 0x80000000u}) {
        EXPECT_EQ(e.call(other), TAVO_CODE(e.codes, 0x02u));
        EXPECT_EQ(ApiBusy.load(), 0);
      }
    }
  }
  EXPECT_TRUE(d.calls.empty());
  EXPECT_EQ(Unit.DeviceHandle, handle);
  EXPECT_EQ(std::memcmp(&pcb, &Unit.PcbRecord, sizeof pcb), 0);
  EXPECT_EQ(std::memcmp(&live, &Unit.LiveRecord, sizeof live), 0);
}

TEST_F(FrameTest, CloseClosesWhateverHandleItIsGiven) {
  uint32_t handle = OpenUnit();
  EXPECT_EQ(TAVO_Close(handle + 1), 0u);
  EXPECT_EQ(Unit.DeviceHandle, 0u);
  EXPECT_EQ(d.OpenHandles(), 0);
  EXPECT_EQ(ApiBusy.load(), 0);
  EXPECT_EQ(TAVO_Close(handle), 0x0201u);
}

TEST_F(FrameTest, OpenRefusesWhileAUnitIsOpen) {
  uint32_t handle = OpenUnit();
  uint32_t second = 0xABCD;
  EXPECT_EQ(TAVO_Open(&second), 0x0111u);
  EXPECT_EQ(second, 0xABCDu);
  EXPECT_EQ(Unit.DeviceHandle, handle);
  EXPECT_TRUE(d.calls.empty());
  EXPECT_EQ(ApiBusy.load(), 0);
}

TEST_F(FrameTest, TheGuardIsReleasedAfterSuccessAndFailureAlike) {
  uint32_t handle = OpenUnit();
  for (const Export &e : kExports) {
    SCOPED_TRACE(e.name);
    e.call(handle);  // whatever it returns
    EXPECT_EQ(ApiBusy.load(), 0);
    if (Unit.DeviceHandle == 0) handle = OpenUnit();
  }
  // The board refuses everything now.
  d.Standing(0xF3, fake::Status(0xEE));
  d.Standing(0xF2, fake::Status(0xEE));
  for (const Export &e : kExports) {
    SCOPED_TRACE(e.name);
    e.call(handle);
    EXPECT_EQ(ApiBusy.load(), 0);
    if (Unit.DeviceHandle == 0) {
      d.Standing(0xF3, fake::Status(0x11));
      d.Standing(0xF2, fake::Body(0x33, {}));
      handle = OpenUnit();
      d.Standing(0xF3, fake::Status(0xEE));
      d.Standing(0xF2, fake::Status(0xEE));
    }
  }
}

// While an export runs, every export, TAVO_Open and TAVO_Accept included,
// returns the running export's function number and touches nothing.
TEST_F(FrameTest, WhileAnExportRunsEveryExportAnswersItsFunctionNumber) {
  const uint8_t running[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                             0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x21,
                             0x22, 0x23, 0x24, 0x25, 0x26};
  for (bool open : {false, true}) {
    fake::ResetLibrary();
    uint32_t handle = open ? OpenUnit() : 0;
    const PcbData pcb = Unit.PcbRecord;
    const TavoData live = Unit.LiveRecord;
    for (uint8_t fn : running) {
      SCOPED_TRACE(testing::Message() << (open ? "open" : "closed")
                                      << ", running 0x" << std::hex << int(fn));
      ApiBusy.store(fn);
      for (const Export &e : kExports) {
        EXPECT_EQ(e.call(handle), fn) << e.name;
        EXPECT_EQ(ApiBusy.load(), fn) << e.name;
      }
      uint32_t openHandle = 0x1234;
      EXPECT_EQ(TAVO_Open(&openHandle), fn);
      EXPECT_EQ(TAVO_Open(nullptr), fn);
      EXPECT_EQ(openHandle, 0x1234u);
      EXPECT_EQ(ApiBusy.load(), fn);
      ApiBusy.store(0);
    }
    EXPECT_TRUE(d.calls.empty());
    EXPECT_EQ(Unit.DeviceHandle, handle);
    EXPECT_EQ(std::memcmp(&pcb, &Unit.PcbRecord, sizeof pcb), 0);
    EXPECT_EQ(std::memcmp(&live, &Unit.LiveRecord, sizeof live), 0);
  }
}

TEST_F(FrameTest, TheGuardHoldsTheFunctionNumberWhileTheWorkRuns) {
  uint8_t seen = 0;
  EXPECT_EQ(Guarded(0x13,
                    [&]() -> uint16_t {
                      seen = ApiBusy.load();
                      return 0x1376;
                    }),
            0x1376u);
  EXPECT_EQ(seen, 0x13);
  EXPECT_EQ(ApiBusy.load(), 0);

  // ClearBackup runs as 0x03 but reports with 0x01.
  bool ran = false;
  fake::PretendPortOpen();
  EXPECT_EQ(RunExport(
                0x03, Unit.DeviceHandle,
                [&]() -> uint16_t {
                  ran = true;
                  seen = ApiBusy.load();
                  return 0;
                },
                0x01),
            0u);
  EXPECT_TRUE(ran);
  EXPECT_EQ(seen, 0x03);
  ran = false;
  EXPECT_EQ(RunExport(
                0x03, Unit.DeviceHandle + 1,
                [&]() -> uint16_t {
                  ran = true;
                  return 0;
                },
                0x01),
            0x0102u);
  EXPECT_FALSE(ran);
}

// Two threads: the first export is held inside the driver's write until the
// second thread's call has been refused.
TEST_F(FrameTest, TwoThreadsCannotBothPassTheGuard) {
  uint32_t handle = OpenUnit();
  std::mutex m;
  std::condition_variable cv;
  bool inside = false;
  bool refused = false;

  d.onWrite = [&](const fake::Bytes &) {
    std::unique_lock<std::mutex> lock(m);
    inside = true;
    cv.notify_all();
    // Bounded only so that a broken guard fails the test instead of
    // hanging it; a working one never waits this long.
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return refused; });
  };

  uint32_t first = 0xFFFFFFFF;
  std::thread a([&] { first = TAVO_OutputPort(handle, 0x05); });
  uint32_t second = 0xFFFFFFFF;
  uint8_t busyMeanwhile = 0;
  std::thread b([&] {
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait_for(lock, std::chrono::seconds(10), [&] { return inside; });
    }
    busyMeanwhile = ApiBusy.load();
    second = TAVO_GetTAVOData(handle, &tavoOut);
    std::lock_guard<std::mutex> lock(m);
    refused = true;
    cv.notify_all();
  });
  b.join();
  a.join();
  d.onWrite = nullptr;

  EXPECT_EQ(busyMeanwhile, 0x25);
  EXPECT_EQ(second, 0x0025u);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(ApiBusy.load(), 0);
  // The refused call sent nothing: only the output port frame went out.
  ASSERT_EQ(d.frames.size(), 1u);
  EXPECT_EQ(d.frames[0][0], 0xF3);
  EXPECT_EQ(d.frames[0][3], 0x71);
}

}  // namespace
