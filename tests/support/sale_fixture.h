// The fixture of the export tests: a scripted D2XX device driven by a small
// model of a payment unit, the fake clock, and helpers that build the frames
// the library is expected to write.
//
// The model answers every frame the way a healthy unit would: the hellos,
// the reads and polls with the whole state of the board and of each fitted
// money unit, and the commands with StAck. It also reacts to the commands
// where the library relies on the reaction: an inhibit makes the unit report
// stopped, a settle is reported once with the unit's settle bit (and takes
// a held note in), a payout is reported once with the payout bit, and the
// board counts the charged amount that a charge sends. Overrides answer
// chosen frames differently (refuse, stay silent) before the model sees
// them; an overridden command does not change the model's state.
#ifndef TAVOCTL_TESTS_SALE_FIXTURE_H
#define TAVOCTL_TESTS_SALE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "api/frame.h"
#include "fake_d2xx.h"
#include "link/link.h"
#include "request_frame.h"
#include "tavoctl.h"
#include "unit_script.h"

namespace sale {

using ::Frame;

using fake::Bytes;

// Request frames as the library writes them: command, complement, and for a
// payload its length, the payload and the check byte.
Bytes BoardWrite(const Bytes &payload);
Bytes CoinCtrl(uint8_t value);
Bytes BillCtrl(uint8_t value);
Bytes Counter(uint8_t selector, uint8_t value);
Bytes Display(uint8_t dots, uint8_t d0, uint8_t d1, uint8_t d2, uint8_t d3);

// The one-byte replies.
inline const Bytes kAck = fake::Status(0x11);
inline const Bytes kNone = fake::Status(0xEE);
inline const Bytes kSilence = {};

// Frames of the status exchanges.
inline const Bytes kBoardPoll = {0xF2, 0x0D};
inline const Bytes kCoinPoll = {0x62, 0x9D};
inline const Bytes kBillPoll = {0x5A, 0xA5};
inline const Bytes kBoardRead = {0xF1, 0x0E};
inline const Bytes kCoinRead = {0x61, 0x9E};
inline const Bytes kBillRead = {0x59, 0xA6};

uint8_t Bcd(unsigned value);

struct CoinUnit {
  bool fitted = true;
  uint8_t id[2] = {0x01, 0x02};
  uint8_t in[4] = {};     // taken in: 10, 50, 100, 500
  uint8_t stock[4] = {};  // available for payout
  uint8_t out[4] = {};    // paid out
  uint8_t status = 0x04;  // stopped, acceptance off
  uint8_t events = 0;     // bits reported once, with the next report
  int stopAfter = 0;      // reports after an inhibit until stopped; -1 never
  bool reportsSettle = true;
  bool reportsPayout = true;
  // internal
  int countdown = 0;
  bool payoutUnreported = false;
};

struct NoteUnit {
  bool fitted = true;
  uint8_t id[2] = {0x03, 0x04};
  uint8_t escrow = 0;  // notes held
  uint8_t stock = 0;   // notes available for payout
  uint8_t out = 0;     // notes paid out
  uint8_t s0 = 0x04;   // first status byte: stopped, acceptance off
  uint8_t events = 0;
  int stopAfter = 0;
  bool reportsSettle = true;
  bool reportsPayout = true;
  int countdown = 0;
  bool payoutUnreported = false;
};

class UnitModel {
 public:
  CoinUnit coin;
  NoteUnit bill;
  uint32_t charged = 0;   // the board's charged-amount meter (Meters[8])
  uint32_t counter0 = 0;  // the board's counter 0 (Meters[4])

  // The customer inserts coins or a note (the note is held in escrow).
  void InsertCoins(int denomination, uint8_t count);
  void InsertNote();

  // Answers the next `times` frames that start with `prefix` with `reply`
  // (times < 0: every one), after letting `skip` of them through.
  void Override(const Bytes &prefix, const Bytes &reply, int times = 1,
                int skip = 0);
  void ClearOverrides() { overrides_.clear(); }

  bool Respond(const Bytes &frame, Bytes &reply);

 private:
  struct Entry {
    Bytes prefix;
    Bytes reply;
    int times;
    int skip;
  };
  std::vector<Entry> overrides_;

  Bytes CoinItems(bool withId);
  Bytes BillItems(bool withId);
  void BoardCommand(const Bytes &payload);
  void CoinCommand(const Bytes &payload);
  void BillCommand(const Bytes &payload);
};

class SaleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A unit left open by an earlier test is closed against a blank fake,
    // never against that test's responder.
    d.Clear();
    CloseAnyUnit();
    d.Clear();
    clock = fake::Clock{};  // no sleeps yet, the default date and time
    clock.Install();
    unit = UnitModel{};
    d.responder = [this](const Bytes &frame, Bytes &reply) {
      return unit.Respond(frame, reply);
    };
    handle = 0;
  }

  void TearDown() override {
    // Whatever an export did, once it has returned no export is running.
    EXPECT_EQ(ApiBusy.load(), 0) << "an export left the busy guard set";
    d.onWrite = nullptr;  // it may capture what a test has already left
    CloseAnyUnit();
    d.responder = nullptr;
  }

  // Tears everything down and starts again from a fresh fake and model.
  void Restart() {
    TearDown();
    SetUp();
  }

  // Opens the unit (expecting success) and forgets the frames of the open.
  void Open() {
    ASSERT_EQ(TAVO_Open(&handle), 0u);
    Forget();
  }

  // Opens the unit and a trade, and forgets the frames so far.
  void OpenTrade() {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
    Forget();
  }

  // Forgets the frames and driver calls recorded so far, and the sleeps.
  void Forget() {
    d.frames.clear();
    d.calls.clear();
    clock.sleeps = 0;
    clock.sleptMs = 0;
  }

  // Frames with a payload (commands and writes), in order.
  std::vector<Bytes> Commands() const {
    std::vector<Bytes> out;
    for (const Bytes &f : d.frames) {
      if (f.size() > 2) out.push_back(f);
    }
    return out;
  }

  // How many frames equal `frame`.
  int Count(const Bytes &frame) const {
    int n = 0;
    for (const Bytes &f : d.frames) n += f == frame ? 1 : 0;
    return n;
  }

  // TAVO_GetTAVOData, expecting success.
  TavoData Poll() {
    TavoData t{};
    EXPECT_EQ(TAVO_GetTAVOData(handle, &t), 0u);
    return t;
  }

  // TAVO_GetPCBData, expecting success.
  PcbData Board() {
    PcbData p{};
    EXPECT_EQ(TAVO_GetPCBData(handle, &p), 0u);
    return p;
  }

  fake::D2xx &d = fake::D2xx::Get();
  fake::Clock &clock = fake::Clock::Get();
  UnitModel unit;
  uint32_t handle = 0;

 private:
  static void CloseAnyUnit() {
    if (Unit.DeviceHandle != 0) TAVO_Close(Unit.DeviceHandle);
  }
};

}  // namespace sale

#endif  // TAVOCTL_TESTS_SALE_FIXTURE_H
