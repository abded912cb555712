// Trades and the control of money acceptance, through the exports.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sale_fixture.h"
#include "state/state.h"

namespace {

using fake::Bytes;
using sale::BillCtrl;
using sale::CoinCtrl;
using sale::Counter;
using sale::kAck;
using sale::kBillPoll;
using sale::kBoardPoll;
using sale::kCoinPoll;
using sale::kNone;

const Bytes kTradeNotes = Counter(0x00, 0x00);
const Bytes kTradeAmount = Counter(0x80, 0x00);
const Bytes kNoteOn = BillCtrl(0x21), kNoteOff = BillCtrl(0x20);
const Bytes kCoinOn = CoinCtrl(0x01), kCoinOff = CoinCtrl(0x00);
const Bytes kNoteSettle = BillCtrl(0x02), kCoinSettle = CoinCtrl(0x02);

// Makes the next refresh fail with -n: its coin poll, note poll and board
// poll as the bits of n say, after letting `skip` refreshes through.
void FailRefresh(sale::UnitModel &u, int n, int skip = 0) {
  if (n & 1) u.Override(kCoinPoll, kNone, 1, skip);
  if (n & 2) u.Override(kBillPoll, kNone, 1, skip);
  if (n & 4) u.Override(kBoardPoll, kAck, 1, skip);
}

class TradeExport : public sale::SaleTest {
 public:
  // For the arrangements of the tables below.
  using SaleTest::handle;
  using SaleTest::Open;
  using SaleTest::OpenTrade;
  using SaleTest::unit;

 protected:
  void AcceptanceOn(bool note, bool coin) {
    if (note) unit.bill.s0 = 0x01;
    if (coin) unit.coin.status = 0x01;
  }
};

// ------------------------------------------------------- SetAcceptance

struct Switching {
  const char *name;
  bool noteOn, coinOn;  // as the units report before the call
  uint32_t limit;
  uint8_t notes;
  std::vector<Bytes> commands;
  uint8_t noteLimit;
};

class AcceptanceSwitching : public TradeExport,
                            public ::testing::WithParamInterface<Switching> {};

TEST_P(AcceptanceSwitching, SendsOnlyWhatTheReportedStateAsksFor) {
  const Switching &c = GetParam();
  OpenTrade();
  unit.InsertCoins(100, 5);  // Credit 500
  AcceptanceOn(c.noteOn, c.coinOn);
  EXPECT_EQ(TAVO_AcceptEx(handle, c.limit, c.notes), 0u);
  EXPECT_EQ(Commands(), c.commands);
  EXPECT_EQ(Unit.NoteLimit, c.noteLimit);
  EXPECT_EQ(Board().AcceptLimit, c.limit & 0xFFFF);
}

INSTANTIATE_TEST_SUITE_P(
    AcceptEx, AcceptanceSwitching,
    ::testing::Values(
        Switching{
            "BothOffNoteFirst", false, false, 1000, 3, {kNoteOn, kCoinOn}, 3},
        Switching{"BothOnAlready", true, true, 1000, 3, {}, 3},
        Switching{"NoteOnAlready", true, false, 1000, 3, {kCoinOn}, 3},
        Switching{"CoinOnAlready", false, true, 1000, 3, {kNoteOn}, 3},
        Switching{
            "NoteLimitZeroInhibitsNotes", true, true, 1000, 0, {kNoteOff}, 0},
        Switching{"NoteLimitZeroNoteOff", false, false, 1000, 0, {kCoinOn}, 0},
        Switching{"EightNotesIsZero", false, false, 1000, 8, {kCoinOn}, 0},
        Switching{"ElevenNotesIsThree",
                  false,
                  false,
                  1000,
                  11,
                  {kNoteOn, kCoinOn},
                  3},
        Switching{"LimitZeroBothOn", true, true, 0, 3, {kNoteOff, kCoinOff}, 3},
        Switching{"LimitZeroBothOff", false, false, 0, 3, {}, 3},
        Switching{"LimitZeroCoinOn", false, true, 0, 3, {kCoinOff}, 3},
        Switching{
            "LimitEqualToCredit", true, true, 500, 3, {kNoteOff, kCoinOff}, 3},
        Switching{"LimitJustAboveCredit",
                  false,
                  false,
                  510,
                  3,
                  {kNoteOn, kCoinOn},
                  3},
        Switching{
            "LimitInLowSixteenBits", false, false, 0x10000 + 500, 3, {}, 3}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(TradeExport, UnitsNotFittedAreNeverCommanded) {
  for (bool coinFitted : {false, true}) {
    SCOPED_TRACE(coinFitted ? "no note unit" : "no coin unit");
    Restart();
    unit.coin.fitted = coinFitted;
    unit.bill.fitted = !coinFitted;
    OpenTrade();
    ASSERT_EQ(TAVO_AcceptEx(handle, 1000, 3), 0u);
    ASSERT_EQ(TAVO_TradeEnd(handle), 0u);
    for (const Bytes &f : Commands()) {
      EXPECT_NE(f[0], coinFitted ? 0x5B : 0x63);
    }
    EXPECT_EQ(Count(coinFitted ? kCoinOn : kNoteOn), 1);
    EXPECT_EQ(Count(coinFitted ? kCoinOff : kNoteOff), 1);
  }
}

// ---------------------------------------------------- ApplyAcceptLimit

struct LimitFailure {
  const char *name;
  std::function<void(TradeExport &)> arrange;
  std::function<uint32_t(uint32_t)> call;
  uint32_t code;
};

class AcceptLimitFailures : public TradeExport,
                            public ::testing::WithParamInterface<LimitFailure> {
};

TEST_P(AcceptLimitFailures, CarryTheirOwnCodesWhateverTheExport) {
  const LimitFailure &c = GetParam();
  ASSERT_NO_FATAL_FAILURE(c.arrange(*this));
  EXPECT_EQ(c.call(handle), c.code);
}

uint32_t CallAccept(uint32_t h) { return TAVO_AcceptEx(h, 1000, 3); }
uint32_t CallAcceptNone(uint32_t h) { return TAVO_AcceptEx(h, 0, 3); }
uint32_t CallPcb(uint32_t h) {
  PcbData p{};
  return TAVO_GetPCBData(h, &p);
}
uint32_t CallTavo(uint32_t h) {
  TavoData t{};
  return TAVO_GetTAVOData(h, &t);
}
uint32_t CallBegin(uint32_t h) { return TAVO_TradeBegin(h); }
uint32_t CallCharge(uint32_t h) { return TAVO_Charge(h, 500); }

// A trade accepting up to 1000, into which the customer has put 1000.
void LimitReached(TradeExport &fx) {
  fx.OpenTrade();
  ASSERT_EQ(TAVO_AcceptEx(fx.handle, 1000, 3), 0u);
  fx.unit.InsertCoins(500, 2);
}

// A trade accepting up to 2000 with 1500 in coins, so that a charge of 500
// leaves the credit below the limit; the coin unit has turned itself off.
void ChargeReenables(TradeExport &fx) {
  fx.OpenTrade();
  ASSERT_EQ(TAVO_AcceptEx(fx.handle, 2000, 3), 0u);
  fx.unit.InsertCoins(500, 3);
  fx.unit.coin.stock[3] = 2;  // for the change
  fx.unit.coin.status = 0x04;
}

INSTANTIATE_TEST_SUITE_P(
    Exports, AcceptLimitFailures,
    ::testing::Values(LimitFailure{"AcceptExCoinEnable",
                                   [](auto &fx) {
                                     fx.OpenTrade();
                                     fx.unit.Override(kCoinOn, kNone);
                                   },
                                   CallAccept, 0x1261},
                      LimitFailure{"AcceptExNoteEnable",
                                   [](auto &fx) {
                                     fx.OpenTrade();
                                     fx.unit.Override(kNoteOn, kNone);
                                   },
                                   CallAccept, 0x1263},
                      LimitFailure{"AcceptExCoinInhibit",
                                   [](auto &fx) {
                                     fx.OpenTrade();
                                     fx.unit.coin.status = 0x01;
                                     fx.unit.Override(kCoinOff, kNone);
                                   },
                                   CallAcceptNone, 0x1262},
                      LimitFailure{"AcceptExNoteInhibit",
                                   [](auto &fx) {
                                     fx.OpenTrade();
                                     fx.unit.bill.s0 = 0x01;
                                     fx.unit.Override(kNoteOff, kNone);
                                   },
                                   CallAcceptNone, 0x1264},
                      LimitFailure{"GetPcbDataCoinInhibit",
                                   [](auto &fx) {
                                     LimitReached(fx);
                                     fx.unit.Override(kCoinOff, kNone);
                                   },
                                   CallPcb, 0x1262},
                      LimitFailure{"GetTavoDataNoteInhibit",
                                   [](auto &fx) {
                                     LimitReached(fx);
                                     fx.unit.Override(kNoteOff, kNone);
                                   },
                                   CallTavo, 0x1264},
                      LimitFailure{"TradeBeginCoinInhibit",
                                   [](auto &fx) {
                                     fx.Open();
                                     fx.unit.coin.status = 0x01;
                                     fx.unit.Override(kCoinOff, kNone);
                                   },
                                   CallBegin, 0x1262},
                      LimitFailure{"TradeBeginNoteInhibit",
                                   [](auto &fx) {
                                     fx.Open();
                                     fx.unit.bill.s0 = 0x01;
                                     fx.unit.Override(kNoteOff, kNone);
                                   },
                                   CallBegin, 0x1264},
                      LimitFailure{"ChargeCoinEnable",
                                   [](auto &fx) {
                                     ChargeReenables(fx);
                                     fx.unit.Override(kCoinOn, kNone);
                                   },
                                   CallCharge, 0x1261},
                      LimitFailure{"AcceptExRefreshCoin",
                                   [](auto &fx) {
                                     fx.OpenTrade();
                                     FailRefresh(fx.unit, 1, 1);
                                   },
                                   CallAccept, 0x1341},
                      LimitFailure{"AcceptExRefreshAll",
                                   [](auto &fx) {
                                     fx.OpenTrade();
                                     FailRefresh(fx.unit, 7, 1);
                                   },
                                   CallAccept, 0x1347},
                      LimitFailure{"GetPcbDataRefreshNote",
                                   [](auto &fx) {
                                     LimitReached(fx);
                                     FailRefresh(fx.unit, 2, 1);
                                   },
                                   CallPcb, 0x1342},
                      LimitFailure{"GetTavoDataRefreshBoard",
                                   [](auto &fx) {
                                     LimitReached(fx);
                                     FailRefresh(fx.unit, 4, 1);
                                   },
                                   CallTavo, 0x1344},
                      // The trade begin reads the units, so its only polls of
                      // the units are those of the limit's refresh.
                      LimitFailure{"TradeBeginRefreshCoinAndNote",
                                   [](auto &fx) {
                                     fx.Open();
                                     FailRefresh(fx.unit, 3);
                                   },
                                   CallBegin, 0x1343},
                      // Without the board read back the charge may or may
                      // not have been counted.
                      LimitFailure{"ChargeRefreshAfterTheSend",
                                   [](auto &fx) {
                                     ChargeReenables(fx);
                                     FailRefresh(fx.unit, 5, 1);
                                     fx.unit.Override(sale::kBoardRead, kNone);
                                   },
                                   CallCharge, 0x137A},
                      LimitFailure{"ChargeRefreshAfterTheSendBoardRead",
                                   [](auto &fx) {
                                     ChargeReenables(fx);
                                     FailRefresh(fx.unit, 1, 1);
                                   },
                                   CallCharge, 0x1341},
                      LimitFailure{"ChargeRefreshOfTheLimit",
                                   [](auto &fx) {
                                     ChargeReenables(fx);
                                     FailRefresh(fx.unit, 6, 2);
                                   },
                                   CallCharge, 0x1346}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(TradeExport, LimitIsStoredOnlyOnceTheChecksHavePassed) {
  OpenTrade();
  ASSERT_EQ(TAVO_AcceptEx(handle, 2000, 2), 0u);
  // Refused before the limit is stored: a refresh, a pending command, a
  // unit reporting a payout.
  FailRefresh(unit, 3);
  EXPECT_EQ(TAVO_AcceptEx(handle, 5000, 5), 0x1233u);
  Unit.CoinPending = 0x02;
  EXPECT_EQ(TAVO_AcceptEx(handle, 5000, 5), 0x1204u);
  Unit.CoinPending = 0;
  unit.coin.status |= 0x10;
  EXPECT_EQ(TAVO_AcceptEx(handle, 5000, 5), 0x1205u);
  unit.coin.status = 0x01;
  unit.bill.s0 |= 0x08;
  EXPECT_EQ(TAVO_AcceptEx(handle, 5000, 5), 0x1205u);
  EXPECT_EQ(Unit.PcbRecord.AcceptLimit, 2000);
  EXPECT_EQ(Unit.NoteLimit, 2);
  // Refused while switching: the new values stand.
  unit.bill.s0 = 0x04;
  unit.Override(kNoteOn, kNone);
  EXPECT_EQ(TAVO_AcceptEx(handle, 5000, 5), 0x1263u);
  EXPECT_EQ(Unit.PcbRecord.AcceptLimit, 5000);
  EXPECT_EQ(Unit.NoteLimit, 5);
}

TEST_F(TradeExport, AcceptExCodesOutsideATrade) {
  EXPECT_EQ(TAVO_AcceptEx(0, 1000, 3), 0x1201u);
  EXPECT_EQ(TAVO_Accept(0, 1000), 0x1201u);
  Open();
  EXPECT_EQ(TAVO_AcceptEx(handle + 1, 1000, 3), 0x1202u);
  EXPECT_EQ(TAVO_AcceptEx(handle, 1000, 3), 0x1203u);
  EXPECT_EQ(TAVO_Accept(handle, 1000), 0x1203u);
  EXPECT_TRUE(d.frames.empty());
}

TEST_F(TradeExport, AcceptIsAcceptExWithThreeNotes) {
  struct Outcome {
    uint32_t code;
    std::vector<Bytes> frames;
    uint8_t noteLimit;
    uint16_t limit;
  };
  auto run = [&](bool accept, bool refuseNotes) {
    Restart();
    OpenTrade();
    if (refuseNotes) unit.Override(kNoteOn, kNone);
    uint32_t code =
        accept ? TAVO_Accept(handle, 500) : TAVO_AcceptEx(handle, 500, 3);
    return Outcome{code, d.frames, Unit.NoteLimit, Unit.PcbRecord.AcceptLimit};
  };
  for (bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "note unit refuses" : "accepted");
    Outcome viaAccept = run(true, refuse);
    Outcome viaAcceptEx = run(false, refuse);
    EXPECT_EQ(viaAccept.code, refuse ? 0x1263u : 0u);
    EXPECT_EQ(viaAccept.code, viaAcceptEx.code);
    EXPECT_EQ(viaAccept.frames, viaAcceptEx.frames);
    EXPECT_EQ(viaAccept.noteLimit, 3);
    EXPECT_EQ(viaAcceptEx.noteLimit, 3);
    EXPECT_EQ(viaAccept.limit, viaAcceptEx.limit);
  }
}

// --------------------------------------------------------- TradeBegin

TEST_F(TradeExport, TradeBeginReadsTheUnitsAndStartsTheBoardCount) {
  Open();
  ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
  const std::vector<Bytes> expected = {
      {0x59, 0xA6}, {0x61, 0x9E}, kBoardPoll,   // full re-read
      kTradeNotes,  kTradeAmount,               // board count from zero
      kBillPoll,    kCoinPoll,    kBoardPoll};  // limit 0: nothing on
  EXPECT_EQ(d.frames, expected);
  PcbData pcb = Board();
  EXPECT_EQ(pcb.TradeId, 1u);
  EXPECT_EQ(pcb.AcceptLimit, 0u);
  // A second begin is refused without a frame.
  Forget();
  EXPECT_EQ(TAVO_TradeBegin(handle), 0x1003u);
  EXPECT_TRUE(d.frames.empty());
}

TEST_F(TradeExport, TradeBeginSwitchesOffWhatTheUnitsLeftOn) {
  Open();
  AcceptanceOn(true, true);
  ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
  EXPECT_EQ(Commands(), std::vector<Bytes>(
                            {kTradeNotes, kTradeAmount, kNoteOff, kCoinOff}));
}

TEST_F(TradeExport, TradeBeginStartsWithTheLimitAtZero) {
  Open();
  Unit.PcbRecord.AcceptLimit = 5000;  // as no export leaves it outside a trade
  AcceptanceOn(true, true);
  ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
  EXPECT_EQ(Unit.PcbRecord.AcceptLimit, 0u);
  EXPECT_EQ(Count(kNoteOff), 1);
  EXPECT_EQ(Count(kCoinOff), 1);
}

TEST_F(TradeExport, TradeBeginRefusalsDrawNoNumber) {
  struct Case {
    const char *name;
    std::function<void(sale::UnitModel &)> fault;
    uint32_t code;
    int notesFrames, amountFrames;  // the two counter frames written
  };
  const Case cases[] = {
      {"coin read", [](auto &u) { u.Override({0x61}, kNone); }, 0x1031, 0, 0},
      {"note read", [](auto &u) { u.Override({0x59}, sale::kSilence); }, 0x1032,
       0, 0},
      {"both reads",
       [](auto &u) {
         u.Override({0x61}, kNone);
         u.Override({0x59}, kNone);
       },
       0x1033, 0, 0},
      {"board poll", [](auto &u) { u.Override(kBoardPoll, kAck); }, 0x1034, 0,
       0},
      {"all three",
       [](auto &u) {
         u.Override({0x61}, kNone);
         u.Override({0x59}, kNone);
         u.Override(kBoardPoll, kNone);
       },
       0x1037, 0, 0},
      {"settle not reported", [](auto &u) { u.coin.events = 0; }, 0x1004, 0, 0},
      {"first counter", [](auto &u) { u.Override(kTradeNotes, kNone); }, 0x1072,
       1, 0},
      {"second counter", [](auto &u) { u.Override(kTradeAmount, kNone); },
       0x1072, 1, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Open();
    c.fault(unit);
    EXPECT_EQ(TAVO_TradeBegin(handle), c.code);
    EXPECT_EQ(Count(kTradeNotes), c.notesFrames);
    EXPECT_EQ(Count(kTradeAmount), c.amountFrames);
    EXPECT_EQ(Unit.PcbRecord.TradeId, 0u);
    EXPECT_EQ(Unit.TradeCounter, 0u);
    // Once the fault is gone the trade gets the first number.
    unit.coin.events |= 0x20;
    EXPECT_EQ(TAVO_TradeBegin(handle), 0u);
    EXPECT_EQ(Unit.PcbRecord.TradeId, 1u);
  }
}

TEST_F(TradeExport, TradeNumbersRunFromOneAndSkipZero) {
  Open();
  for (uint32_t expected = 1; expected <= 3; ++expected) {
    ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
    EXPECT_EQ(Board().TradeId, expected);
    ASSERT_EQ(TAVO_TradeEnd(handle), 0u);
    EXPECT_EQ(Board().TradeId, 0u);
  }
  struct Wrap {
    uint32_t counter, next;
  };
  for (Wrap w : {Wrap{0xFFFFFFFE, 0xFFFFFFFF}, Wrap{0xFFFFFFFF, 1}}) {
    Unit.TradeCounter = w.counter;
    ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
    EXPECT_EQ(Board().TradeId, w.next);
    ASSERT_EQ(TAVO_TradeEnd(handle), 0u);
  }
  // A new open numbers from 1 again.
  ASSERT_EQ(TAVO_Close(handle), 0u);
  Open();
  ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
  EXPECT_EQ(Board().TradeId, 1u);
}

TEST_F(TradeExport, NoteLimitOutlivesTheTrade) {
  OpenTrade();
  ASSERT_EQ(TAVO_AcceptEx(handle, 1000, 1), 0u);
  ASSERT_EQ(TAVO_TradeEnd(handle), 0u);
  ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
  EXPECT_EQ(Unit.NoteLimit, 1);
}

// ----------------------------------------------------------- TradeEnd

TEST_F(TradeExport, TradeEndClosesTheTradeStepByStep) {
  OpenTrade();
  ASSERT_EQ(TAVO_TradeEnd(handle), 0u);
  const std::vector<Bytes> polls = {kBillPoll, kCoinPoll, kBoardPoll};
  std::vector<Bytes> expected = polls;                          // first refresh
  expected.insert(expected.end(), {kNoteOff, kCoinOff});        // forced off
  expected.insert(expected.end(), polls.begin(), polls.end());  // the wait
  expected.insert(expected.end(), polls.begin(), polls.end());  // refresh
  // The units close their counts before the board's charged-amount meter is
  // cleared: the other way round, a failed settle would leave the counts
  // standing with the charge gone, and the charged money would come back.
  // Each unit's own report of its settle is awaited (a poll of that unit)
  // before the next step. Counter 0 already reads 0: it is not sent.
  expected.insert(expected.end(), {kNoteSettle, kBillPoll, kCoinSettle,
                                   kCoinPoll, kTradeAmount});
  EXPECT_EQ(d.frames, expected);
  EXPECT_EQ(Unit.PcbRecord.TradeId, 0u);
  EXPECT_EQ(Unit.BillPending, 0x00);
  EXPECT_EQ(Unit.CoinPending, 0x00);
  EXPECT_EQ(clock.sleeps, 0);
  EXPECT_EQ(TAVO_TradeEnd(handle), 0x1103u);
}

TEST_F(TradeExport, TradeEndCodesOutsideATrade) {
  EXPECT_EQ(TAVO_TradeEnd(0), 0x1101u);
  Open();
  EXPECT_EQ(TAVO_TradeEnd(handle + 1), 0x1102u);
  EXPECT_EQ(TAVO_TradeEnd(handle), 0x1103u);
  EXPECT_TRUE(d.frames.empty());
}

struct EndFailure {
  const char *name;
  std::function<void(sale::UnitModel &)> fault;
  uint32_t code;
};

class TradeEndFailures : public TradeExport,
                         public ::testing::WithParamInterface<EndFailure> {};

TEST_P(TradeEndFailures, LeaveTheTradeOpen) {
  const EndFailure &c = GetParam();
  OpenTrade();
  c.fault(unit);
  EXPECT_EQ(TAVO_TradeEnd(handle), c.code);
  EXPECT_EQ(Unit.PcbRecord.TradeId, 1u);
  EXPECT_EQ(Unit.PcbRecord.AcceptLimit, 0u);
  // The trade ends once the unit behaves.
  unit.ClearOverrides();
  unit.coin.stopAfter = unit.bill.stopAfter = 0;
  EXPECT_EQ(TAVO_TradeEnd(handle), 0u);
  EXPECT_EQ(Unit.PcbRecord.TradeId, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, TradeEndFailures,
    ::testing::Values(
        EndFailure{"FirstRefreshCoin", [](auto &u) { FailRefresh(u, 1); },
                   0x1131},
        EndFailure{"FirstRefreshAll", [](auto &u) { FailRefresh(u, 7); },
                   0x1137},
        EndFailure{"CoinForceInhibit",
                   [](auto &u) { u.Override(kCoinOff, kNone); }, 0x1162},
        EndFailure{"NoteForceInhibit",
                   [](auto &u) { u.Override(kNoteOff, kNone); }, 0x1164},
        EndFailure{"CoinNeverStops", [](auto &u) { u.coin.stopAfter = -1; },
                   0x1152},
        EndFailure{"NoteNeverStops", [](auto &u) { u.bill.stopAfter = -1; },
                   0x1153},
        EndFailure{"NeitherStops",
                   [](auto &u) { u.coin.stopAfter = u.bill.stopAfter = -1; },
                   0x1154},
        EndFailure{"WaitRefreshCoin", [](auto &u) { FailRefresh(u, 1, 1); },
                   0x114F},
        EndFailure{"WaitRefreshNote", [](auto &u) { FailRefresh(u, 2, 1); },
                   0x114E},
        EndFailure{"WaitRefreshBoard", [](auto &u) { FailRefresh(u, 4, 1); },
                   0x114C},
        EndFailure{"WaitRefreshAll", [](auto &u) { FailRefresh(u, 7, 1); },
                   0x1149},
        EndFailure{"LastRefreshCoin", [](auto &u) { FailRefresh(u, 1, 2); },
                   0x1141},
        EndFailure{"LastRefreshBoardNote",
                   [](auto &u) { FailRefresh(u, 6, 2); }, 0x1146},
        // A note counted and charged: counter 0 is cleared first.
        EndFailure{"FirstCounter",
                   [](auto &u) {
                     u.counter0 = 16;
                     u.charged = 1000;
                     u.Override(kTradeNotes, kNone);
                   },
                   0x1172},
        // The reset of a charged meter that the board does not make.
        EndFailure{"SecondCounter",
                   [](auto &u) {
                     u.charged = 500;
                     u.Override(kTradeAmount, kNone);
                   },
                   0x1172},
        EndFailure{"CoinSettle",
                   [](auto &u) { u.Override(kCoinSettle, kNone); }, 0x1166},
        EndFailure{"NoteSettle",
                   [](auto &u) { u.Override(kNoteSettle, kNone); }, 0x1167}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(TradeExport, FailedNoteSettleAddressesNoCoin) {
  OpenTrade();
  unit.Override(kNoteSettle, kNone);
  EXPECT_EQ(TAVO_TradeEnd(handle), 0x1167u);
  EXPECT_EQ(Count(kCoinSettle), 0);
}

TEST_F(TradeExport, TradeEndWaitsTenTimesAtMost) {
  struct Case {
    int coinStopAfter, noteStopAfter;
    uint32_t code;
    int sleeps;
  };
  const Case cases[] = {{0, 0, 0, 0},        {4, 7, 0, 6},
                        {10, 10, 0, 9},      {11, 0, 0x1152, 10},
                        {-1, 0, 0x1152, 10}, {0, -1, 0x1153, 10},
                        {2, 11, 0x1153, 10}, {-1, -1, 0x1154, 10}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.coinStopAfter << "/" << c.noteStopAfter);
    Restart();
    OpenTrade();
    unit.coin.stopAfter = c.coinStopAfter;
    unit.bill.stopAfter = c.noteStopAfter;
    EXPECT_EQ(TAVO_TradeEnd(handle), c.code);
    EXPECT_EQ(clock.sleeps, c.sleeps);
    EXPECT_EQ(clock.sleptMs, 100u * static_cast<uint32_t>(c.sleeps));
    // The first refresh, the wait's, and on success the one after it.
    int waits = c.code == 0 ? c.sleeps + 1 : 10;
    EXPECT_EQ(Count(kBoardPoll), 1 + waits + (c.code == 0 ? 1 : 0));
  }
}

TEST_F(TradeExport, AUnitOnceStoppedStaysDoneInTheWait) {
  // One unit reports stopped once, right after its inhibit, and then no
  // more; the other stops on its third report.
  for (bool coinOnce : {false, true}) {
    SCOPED_TRACE(coinOnce ? "coin once" : "note once");
    Restart();
    OpenTrade();
    unit.bill.stopAfter = coinOnce ? 3 : -1;
    unit.coin.stopAfter = coinOnce ? -1 : 3;
    d.onWrite = [this, coinOnce](const Bytes &f) {
      if (!coinOnce && f == kNoteOff) unit.bill.events |= 0x04;
      if (coinOnce && f == kCoinOff) unit.coin.events |= 0x04;
    };
    EXPECT_EQ(TAVO_TradeEnd(handle), 0u);
    EXPECT_EQ(clock.sleeps, 2);
  }
}

TEST_F(TradeExport, PayoutBitsAlsoEndTheWait) {
  OpenTrade();
  unit.bill.stopAfter = unit.coin.stopAfter = -1;
  d.onWrite = [&](const Bytes &f) {
    if (f == kNoteOff) unit.bill.events |= 0x08;
    if (f == kCoinOff) unit.coin.events |= 0x10;
  };
  EXPECT_EQ(TAVO_TradeEnd(handle), 0u);
  EXPECT_EQ(clock.sleeps, 0);
}

TEST_F(TradeExport, AnAbsentUnitIsDoneFromTheStart) {
  struct Case {
    bool coinFitted;
    int stopAfter;  // of the fitted unit
    uint32_t code;
    int sleeps;
  };
  for (const Case &c :
       {Case{true, 2, 0, 1}, Case{false, 2, 0, 1}, Case{true, -1, 0x1152, 10},
        Case{false, -1, 0x1153, 10}}) {
    SCOPED_TRACE(testing::Message() << c.coinFitted << " " << c.stopAfter);
    Restart();
    unit.coin.fitted = c.coinFitted;
    unit.bill.fitted = !c.coinFitted;
    OpenTrade();
    unit.coin.stopAfter = unit.bill.stopAfter = c.stopAfter;
    EXPECT_EQ(TAVO_TradeEnd(handle), c.code);
    EXPECT_EQ(clock.sleeps, c.sleeps);
  }
}

TEST_F(TradeExport, TradeEndRefusesWhileACommandIsPending) {
  OpenTrade();
  for (uint8_t *pending : {&Unit.CoinPending, &Unit.BillPending}) {
    *pending = 0x02;
    Forget();
    EXPECT_EQ(TAVO_TradeEnd(handle), 0x1104u);
    EXPECT_TRUE(Commands().empty()) << "a command was sent";
    *pending = 0;
  }
  EXPECT_EQ(Unit.PcbRecord.TradeId, 1u);
}

TEST_F(TradeExport, TradeEndRefusesWhileCreditRemains) {
  OpenTrade();
  ASSERT_EQ(TAVO_AcceptEx(handle, 2000, 3), 0u);
  unit.InsertCoins(500, 1);
  Forget();
  EXPECT_EQ(TAVO_TradeEnd(handle), 0x1171u);
  EXPECT_EQ(Commands(), std::vector<Bytes>({kNoteOff, kCoinOff}));
  PcbData pcb = Board();
  EXPECT_EQ(pcb.TradeId, 1u);
  EXPECT_EQ(pcb.AcceptLimit, 0u);
  EXPECT_EQ(pcb.Credit, 500u);
  EXPECT_EQ(unit.coin.status & 0x01, 0);
  EXPECT_EQ(unit.bill.s0 & 0x01, 0);
}

TEST_F(TradeExport, TradeEndForgetsTheTakenInNotesEvenWhenRefusedLater) {
  OpenTrade();
  unit.coin.stock[3] = 5;
  ASSERT_EQ(TAVO_AcceptEx(handle, 3000, 3), 0u);
  unit.InsertNote();
  Poll();
  Poll();
  ASSERT_EQ(Unit.LiveRecord.BillStacked, 1);
  ASSERT_EQ(TAVO_Charge(handle, 1000), 0u);
  unit.Override(kTradeAmount, kNone);
  EXPECT_EQ(TAVO_TradeEnd(handle), 0x1172u);
  EXPECT_EQ(Unit.LiveRecord.BillStacked, 0);
  EXPECT_EQ(TAVO_TradeEnd(handle), 0u);
}

}  // namespace
