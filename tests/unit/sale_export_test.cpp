// Whole sales through the exports, as a cashier's application runs them,
// and the busy guard met from inside a running export.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "api/frame.h"
#include "sale_fixture.h"
#include "state/state.h"

namespace {

using fake::Bytes;
using sale::BillCtrl;
using sale::BoardWrite;
using sale::CoinCtrl;
using sale::Counter;
using sale::Display;
using sale::Frame;

class SaleExport : public sale::SaleTest {
 public:
  using SaleTest::handle;
};

// ---------------------------------------------------------- busy guard

struct Nested {
  const char *name;
  bool trade;                             // a trade is open first
  Bytes trigger;                          // frame of the running export
  std::function<uint32_t(uint32_t)> run;  // the running export
  uint32_t runCode;
  std::function<uint32_t(uint32_t)> enter;  // called while it runs
  uint32_t busy;
};

class BusyGuard : public SaleExport,
                  public ::testing::WithParamInterface<Nested> {};

TEST_P(BusyGuard, RefusesAnExportEnteredWhileAnotherRuns) {
  const Nested &c = GetParam();
  if (c.trade) {
    ASSERT_NO_FATAL_FAILURE(OpenTrade());
  } else {
    ASSERT_NO_FATAL_FAILURE(Open());
  }
  unit.coin.stock[3] = 9;
  unit.InsertCoins(500, 2);
  int entered = 0;
  uint32_t nested = 0;
  uint8_t busyThen = 0;
  d.onWrite = [&](const Bytes &f) {
    if (entered == 0 && f == c.trigger) {
      ++entered;
      nested = c.enter(handle);
      busyThen = ApiBusy.load();
    }
  };
  EXPECT_EQ(c.run(handle), c.runCode);
  EXPECT_EQ(entered, 1);
  EXPECT_EQ(nested, c.busy);
  // The refused call left the guard with the running export.
  EXPECT_EQ(busyThen, c.busy);
  EXPECT_EQ(ApiBusy.load(), 0);
}

uint32_t Pcb(uint32_t h) {
  PcbData p{};
  return TAVO_GetPCBData(h, &p);
}
uint32_t Tavo(uint32_t h) {
  TavoData t{};
  return TAVO_GetTAVOData(h, &t);
}
uint32_t Backup(uint32_t h) {
  TavoData t{};
  return TAVO_GetBackupData(h, &t);
}
uint32_t OpenAgain(uint32_t) {
  uint32_t other = 0xDEADBEEF;
  uint32_t code = TAVO_Open(&other);
  return other == 0xDEADBEEF ? code : 0xBAD;
}

const Bytes kStop = BoardWrite({0x70, 0x02});

INSTANTIATE_TEST_SUITE_P(
    Sale, BusyGuard,
    ::testing::Values(
        Nested{"TradeEndRefusesAQuery", true, BillCtrl(0x20), TAVO_TradeEnd,
               0x1171, Pcb, 0x0011},
        Nested{"TradeEndRefusesAccept", true, CoinCtrl(0x00), TAVO_TradeEnd,
               0x1171, [](uint32_t h) { return TAVO_Accept(h, 500); }, 0x0011},
        Nested{"TradeEndRefusesClose", true, CoinCtrl(0x00), TAVO_TradeEnd,
               0x1171, TAVO_Close, 0x0011},
        Nested{"ChargeRefusesAccept", true, Counter(0x81, 0xF4),
               [](uint32_t h) { return TAVO_Charge(h, 500); }, 0,
               [](uint32_t h) { return TAVO_Accept(h, 500); }, 0x0013},
        Nested{"PayBackRefusesPayOut", true, CoinCtrl(0x00), TAVO_PayBack, 0,
               [](uint32_t h) { return TAVO_PayOut(h, 500); }, 0x0014},
        Nested{"PayOutRefusesPayBack", true, CoinCtrl(0x00),
               [](uint32_t h) { return TAVO_PayOut(h, 500); }, 0, TAVO_PayBack,
               0x0015},
        Nested{"AcceptRefusesTradeBegin", true, CoinCtrl(0x01),
               [](uint32_t h) { return TAVO_Accept(h, 5000); }, 0,
               TAVO_TradeBegin, 0x0012},
        Nested{"QueryRefusesTradeEnd", true, sale::kBillPoll, Tavo, 0,
               TAVO_TradeEnd, 0x0006},
        Nested{"PcbQueryRefusesBackup", false, sale::kBoardPoll, Pcb, 0, Backup,
               0x0005},
        Nested{"TradeBeginRefusesSignals", false, Counter(0x00, 0x00),
               TAVO_TradeBegin, 0,
               [](uint32_t h) { return TAVO_UserCnt(h, 1, 1); }, 0x0010},
        Nested{"ResetRefusesClose", false, kStop, TAVO_Reset, 0x0422,
               TAVO_Close, 0x0004},
        Nested{"CloseRefusesOpen", false, kStop, TAVO_Close, 0, OpenAgain,
               0x0002},
        Nested{"ClearBackupRefusesAQuery", false, BoardWrite({0x70, 0x40}),
               TAVO_ClearBackup, 0, Tavo, 0x0003},
        Nested{"NumberRefusesDots", false,
               Display(0x00, 0x00, 0x00, 0x01, 0x00),
               [](uint32_t h) { return TAVO_7SegNum(h, 2, 10); }, 0,
               [](uint32_t h) { return TAVO_7SegDot(h, 1); }, 0x0022},
        Nested{"BuzzerRefusesPort", false, BoardWrite({0x75}),
               [](uint32_t h) { return TAVO_BuzzCtrl(h, 0, nullptr); }, 0,
               [](uint32_t h) { return TAVO_OutputPort(h, 1); }, 0x0024},
        Nested{"PortRefusesPatterns", false, BoardWrite({0x71, 0x01}),
               [](uint32_t h) { return TAVO_OutputPort(h, 1); }, 0,
               [](uint32_t h) {
                 const uint8_t p[4] = {};
                 return TAVO_7SegPtn(h, p);
               },
               0x0025},
        Nested{"CounterRefusesCounter", false, BoardWrite({0x72, 0x10, 0x01}),
               [](uint32_t h) { return TAVO_UserCnt(h, 1, 1); }, 0,
               [](uint32_t h) { return TAVO_UserCnt(h, 2, 1); }, 0x0026},
        Nested{"DotsRefuseCharge", false, Display(0x01, 0x80, 0x80, 0x80, 0x80),
               [](uint32_t h) { return TAVO_7SegDot(h, 1); }, 0,
               [](uint32_t h) { return TAVO_Charge(h, 100); }, 0x0021},
        Nested{"PatternsRefuseNumber", false,
               Display(0x00, 0x80, 0x80, 0x80, 0x80),
               [](uint32_t h) {
                 const uint8_t p[4] = {};
                 return TAVO_7SegPtn(h, p);
               },
               0, [](uint32_t h) { return TAVO_7SegNum(h, 0, 1); }, 0x0023}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(SaleExport, OpenRefusesAnotherOpenFromInside) {
  uint32_t nested = 0, other = 0xDEADBEEF;
  d.onWrite = [&](const Bytes &f) {
    if (f == Frame(0xF0)) nested = TAVO_Open(&other);
  };
  ASSERT_EQ(TAVO_Open(&handle), 0u);
  EXPECT_EQ(nested, 0x0001u);
  EXPECT_EQ(other, 0xDEADBEEFu);
  EXPECT_EQ(d.OpenHandles(), 1);
}

TEST_F(SaleExport, RefusedCloseLeavesThePortOpen) {
  OpenTrade();
  uint32_t nested = 0;
  d.onWrite = [&](const Bytes &f) {
    if (f == BillCtrl(0x20)) nested = TAVO_Close(handle);
  };
  ASSERT_EQ(TAVO_TradeEnd(handle), 0u);
  EXPECT_EQ(nested, 0x0011u);
  EXPECT_EQ(d.OpenHandles(), 1);
  EXPECT_EQ(Count(kStop), 0);
}

// ---------------------------------------------------------- whole sale

TEST_F(SaleExport, WholeSaleThroughAllTwentyExports) {
  unit.coin.stock[3] = 5;  // change for the sale
  unit.coin.stock[2] = 5;
  unit.bill.stock = 2;

  // Open, and what the board kept from the last day.
  ASSERT_EQ(TAVO_Open(&handle), 0u);
  TavoData backup{};
  ASSERT_EQ(TAVO_GetBackupData(handle, &backup), 0u);
  ASSERT_EQ(TAVO_ClearBackup(handle), 0u);

  // Welcome: a pattern on the display, a chirp, the "open" lamp.
  const uint8_t welcome[4] = {0x76, 0x79, 0x38, 0x3F};
  const uint8_t chirp[3] = {0x10, 0x20, 0xFF};
  ASSERT_EQ(TAVO_7SegPtn(handle, welcome), 0u);
  ASSERT_EQ(TAVO_BuzzCtrl(handle, 3, chirp), 0u);
  ASSERT_EQ(TAVO_OutputPort(handle, 0x01), 0u);

  // A sale of 1200: the customer may put in up to 1500.
  ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
  ASSERT_EQ(TAVO_Accept(handle, 1500), 0u);
  EXPECT_EQ(unit.coin.status & 0x01, 0x01);
  EXPECT_EQ(unit.bill.s0 & 0x01, 0x01);

  // Two 100-coins and a note: the note is taken in over two polls.
  unit.InsertCoins(100, 2);
  unit.InsertNote();
  TavoData live{};
  for (int i = 0; i < 4; ++i) ASSERT_EQ(TAVO_GetTAVOData(handle, &live), 0u);
  EXPECT_EQ(live.BillStacked, 1);
  EXPECT_EQ(live.BillEscrow, 0);
  EXPECT_EQ(Count(Counter(0x00, 0x08)), 2);  // marked, then completed
  // Still below the limit: acceptance is on again.
  EXPECT_EQ(unit.bill.s0 & 0x01, 0x01);

  // A 500-coin takes the credit past the limit: acceptance goes off.
  unit.InsertCoins(500, 1);
  ASSERT_EQ(TAVO_GetTAVOData(handle, &live), 0u);
  EXPECT_EQ(unit.coin.status & 0x01, 0);
  EXPECT_EQ(unit.bill.s0 & 0x01, 0);
  PcbData pcb{};
  ASSERT_EQ(TAVO_GetPCBData(handle, &pcb), 0u);
  EXPECT_EQ(pcb.TradeId, 1u);
  EXPECT_EQ(pcb.AcceptLimit, 1500u);
  EXPECT_EQ(pcb.Credit, 1700u);
  ASSERT_EQ(TAVO_7SegNum(handle, 3, pcb.Credit), 0u);
  EXPECT_EQ(d.frames.back(), Display(0x00, 0x01, 0x07, 0x00, 0x00));

  // Charge the price, pay the change back, wait for the payout.
  ASSERT_EQ(TAVO_Charge(handle, 1200), 0u);
  ASSERT_EQ(TAVO_GetPCBData(handle, &pcb), 0u);
  EXPECT_EQ(pcb.Credit, 500u);
  EXPECT_EQ(pcb.Meters[8], 1200u);
  unit.coin.reportsPayout = false;
  ASSERT_EQ(TAVO_PayBack(handle), 0u);
  EXPECT_EQ(Count(Frame(0x63, {0x01, 0x00, 0x05, 0x00})), 1);
  EXPECT_EQ(TAVO_TradeEnd(handle), 0x1104u);  // the payout is not reported yet
  unit.coin.reportsPayout = true;
  ASSERT_EQ(TAVO_GetTAVOData(handle, &live), 0u);
  EXPECT_EQ(live.CoinFlags >> 24, 0u);
  EXPECT_EQ(live.CoinOut[3], 1);
  ASSERT_EQ(TAVO_7SegDot(handle, 0x08), 0u);
  ASSERT_EQ(TAVO_TradeEnd(handle), 0u);
  ASSERT_EQ(TAVO_UserCnt(handle, 1, 1), 0u);
  ASSERT_EQ(TAVO_GetPCBData(handle, &pcb), 0u);
  EXPECT_EQ(pcb.TradeId, 0u);
  EXPECT_EQ(pcb.Credit, 0u);

  // A second customer changes their mind: coins only, all given back.
  ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
  ASSERT_EQ(TAVO_AcceptEx(handle, 2000, 0), 0u);
  EXPECT_EQ(unit.bill.s0 & 0x01, 0);
  unit.InsertCoins(100, 3);
  ASSERT_EQ(TAVO_GetPCBData(handle, &pcb), 0u);
  EXPECT_EQ(pcb.TradeId, 2u);
  EXPECT_EQ(pcb.Credit, 300u);
  ASSERT_EQ(TAVO_PayOut(handle, pcb.Credit), 0u);
  EXPECT_EQ(Count(Frame(0x63, {0x01, 0x00, 0x03, 0x00})), 1);
  ASSERT_EQ(TAVO_GetTAVOData(handle, &live), 0u);
  ASSERT_EQ(TAVO_TradeEnd(handle), 0u);

  // Closing time: the board is reset, then opened and closed once more.
  unit.Override(BoardWrite({0x70, 0x80}), fake::Status(0xBB));
  unit.Override(BoardWrite({0x70, 0x80}), sale::kSilence);
  ASSERT_EQ(TAVO_Reset(handle), 0u);
  EXPECT_EQ(d.OpenHandles(), 0);
  ASSERT_EQ(TAVO_Open(&handle), 0u);
  ASSERT_EQ(TAVO_Close(handle), 0u);
  EXPECT_EQ(d.OpenHandles(), 0);

  // The unit paid out exactly the change and the refund.
  EXPECT_EQ(unit.coin.stock[3], 4 + 1);  // one paid, one taken in at settle
  EXPECT_EQ(unit.bill.stock, 3);         // the note taken in
  EXPECT_EQ(unit.charged, 0u);           // the board's trade count restarted
}

}  // namespace
