// Charging the price and paying change back, through the exports.
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
using sale::Frame;
using sale::kAck;
using sale::kBillPoll;
using sale::kBoardPoll;
using sale::kCoinPoll;
using sale::kNone;

const Bytes kNoteOff = BillCtrl(0x20), kCoinOff = CoinCtrl(0x00);
const std::vector<Bytes> kPolls = {kBillPoll, kCoinPoll, kBoardPoll};

Bytes NotePayout(uint8_t digitByte) {
  return Frame(0x5B, {0x11, 0x00, digitByte, 0x00, 0x00});
}
Bytes CoinPayout(uint8_t low, uint8_t mid, uint8_t high) {
  return Frame(0x63, {0x01, low, mid, high});
}

struct Stock {
  uint8_t notes;
  uint8_t coins[4];  // 10, 50, 100, 500
};

class PaymentExport : public sale::SaleTest {
 public:
  using SaleTest::handle;
  using SaleTest::unit;

 protected:
  // A trade whose customer has put in `credit` (in 500-, 100- and
  // 10-coins), with `stock` available for payout.
  void TradeWithCredit(unsigned credit, Stock stock = {}) {
    ASSERT_NO_FATAL_FAILURE(OpenTrade());
    unit.coin.in[3] = static_cast<uint8_t>(credit / 500);
    unit.coin.in[2] = static_cast<uint8_t>(credit % 500 / 100);
    unit.coin.in[0] = static_cast<uint8_t>(credit % 100 / 10);
    unit.bill.stock = stock.notes;
    for (int k = 0; k < 4; ++k) unit.coin.stock[k] = stock.coins[k];
    ASSERT_EQ(Board().Credit, credit);
    Forget();
  }

  std::vector<Bytes> Payouts() const {
    std::vector<Bytes> out;
    for (const Bytes &f : Commands()) {
      if ((f[0] == 0x5B && f[3] == 0x11) || (f[0] == 0x63 && f[3] == 0x01)) {
        out.push_back(f);
      }
    }
    return out;
  }
};

// ------------------------------------------------------------- Charge

TEST_F(PaymentExport, ChargeRefusesAmountsOutOfRange) {
  TradeWithCredit(1000);
  for (uint32_t amount : {0u, 0x8000u, 0xFFFFu, 0x10000u}) {
    SCOPED_TRACE(amount);
    EXPECT_EQ(TAVO_Charge(handle, amount), 0x1373u);
  }
  EXPECT_EQ(TAVO_Charge(handle, 1010), 0x1374u);
  EXPECT_TRUE(Commands().empty());
  EXPECT_EQ(unit.charged, 0u);
}

TEST_F(PaymentExport, ChargeSendsTheAmountAndReadsItBack) {
  TradeWithCredit(2000, Stock{0, {0, 0, 0, 1}});
  ASSERT_EQ(TAVO_Charge(handle, 1500), 0u);
  std::vector<Bytes> expected = kPolls;
  expected.push_back(Counter(0x85, 0xDC));
  expected.insert(expected.end(), kPolls.begin(), kPolls.end());  // read back
  expected.insert(expected.end(), kPolls.begin(), kPolls.end());  // limit
  EXPECT_EQ(d.frames, expected);
  EXPECT_EQ(Unit.PcbRecord.Credit, 500u);
  EXPECT_EQ(Unit.PcbRecord.Meters[8], 1500u);
}

TEST_F(PaymentExport, ChargeCarriesFifteenBitsOfAmount) {
  struct Case {
    uint16_t amount;
    uint8_t selector, value;
  };
  for (Case c : {Case{10, 0x80, 0x0A}, Case{4660, 0x92, 0x34},
                 Case{32760, 0xFF, 0xF8}}) {
    SCOPED_TRACE(c.amount);
    Restart();
    TradeWithCredit(c.amount);
    ASSERT_EQ(TAVO_Charge(handle, c.amount), 0u);
    EXPECT_EQ(Count(Counter(c.selector, c.value)), 1);
  }
}

struct ChangeCase {
  const char *name;
  unsigned credit;
  Stock stock;
  uint16_t amount;
  uint32_t code;
};

class ChangeCheck : public PaymentExport,
                    public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ChangeCheck, DecidesWhetherTheChargeIsMade) {
  const ChangeCase &c = GetParam();
  TradeWithCredit(c.credit, c.stock);
  EXPECT_EQ(TAVO_Charge(handle, c.amount), c.code);
  bool charged = c.code == 0;
  EXPECT_EQ(unit.charged, charged ? c.amount : 0u);
  EXPECT_EQ(Board().Credit, charged ? c.credit - c.amount : c.credit);
}

INSTANTIATE_TEST_SUITE_P(
    Charge, ChangeCheck,
    ::testing::Values(
        ChangeCase{
            "FiveHundredAndFiveHundreds", 2000, {0, {0, 0, 5, 1}}, 1000, 0},
        ChangeCase{"TenShort", 2000, {0, {4, 1, 4, 1}}, 1000, 0x1375},
        ChangeCase{"NotAMultipleOfTen", 1000, {9, {9, 9, 9, 9}}, 995, 0x1375},
        ChangeCase{"WholeCreditNeedsNoStock", 1000, {0, {0, 0, 0, 0}}, 1000, 0},
        ChangeCase{"NoteForTheChange", 3000, {1, {0, 0, 0, 0}}, 2000, 0},
        ChangeCase{"NoStockAtAll", 3000, {0, {0, 0, 0, 0}}, 2000, 0x1375},
        ChangeCase{"AllDenominations", 5000, {1, {1, 1, 1, 1}}, 3340, 0},
        ChangeCase{"FiftiesForAHundred", 1000, {0, {0, 2, 0, 0}}, 900, 0},
        ChangeCase{"TensForAFifty", 1000, {0, {5, 0, 0, 0}}, 950, 0},
        // A payout carries at most nine notes: change of ten notes needs
        // 1000 in coins besides.
        ChangeCase{
            "TenNotesWithoutCoins", 12000, {20, {0, 0, 0, 0}}, 2000, 0x1375},
        ChangeCase{"NineNotesAndCoins", 12000, {20, {0, 0, 0, 2}}, 2000, 0},
        ChangeCase{"NineNotesExactly", 12000, {20, {0, 0, 0, 0}}, 3000, 0}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(PaymentExport, RefusedChargeSendIsNoCharge) {
  TradeWithCredit(1000, Stock{0, {0, 0, 0, 1}});
  unit.Override(Counter(0x81, 0xF4), kNone);
  EXPECT_EQ(TAVO_Charge(handle, 500), 0x1376u);
  EXPECT_EQ(unit.charged, 0u);
  EXPECT_EQ(Board().Credit, 1000u);
}

TEST_F(PaymentExport, ChargeRefusals) {
  EXPECT_EQ(TAVO_Charge(0, 100), 0x1301u);
  Open();
  EXPECT_EQ(TAVO_Charge(handle + 1, 100), 0x1302u);
  EXPECT_EQ(TAVO_Charge(handle, 100), 0x1303u);
  ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
  unit.InsertCoins(500, 1);
  unit.Override(kBillPoll, kNone);
  unit.Override(kBoardPoll, kNone);
  EXPECT_EQ(TAVO_Charge(handle, 100), 0x1336u);
  Unit.CoinPending = 0x01;
  EXPECT_EQ(TAVO_Charge(handle, 100), 0x1304u);
  Unit.CoinPending = 0;
  unit.bill.s0 |= 0x08;
  EXPECT_EQ(TAVO_Charge(handle, 100), 0x1305u);
  EXPECT_EQ(unit.charged, 0u);
}

// ------------------------------------------------ PayBack and PayOut

TEST_F(PaymentExport, PayBackOfNoCreditOnlySwitchesOff) {
  TradeWithCredit(0, Stock{5, {5, 5, 5, 5}});
  ASSERT_EQ(TAVO_PayBack(handle), 0u);
  std::vector<Bytes> expected = kPolls;
  expected.insert(expected.end(), {kNoteOff, kCoinOff});
  expected.insert(expected.end(), kPolls.begin(), kPolls.end());
  EXPECT_EQ(d.frames, expected);
  EXPECT_EQ(Unit.CoinPending, 0);
  EXPECT_EQ(Unit.BillPending, 0);
}

struct Split {
  const char *name;
  bool payBack;  // else PayOut of `amount`
  unsigned credit;
  uint32_t amount;
  Stock stock;
  std::vector<Bytes> payouts;
};

class PayoutSplits : public PaymentExport,
                     public ::testing::WithParamInterface<Split> {};

TEST_P(PayoutSplits, PayNotesFirstThenCoins) {
  const Split &c = GetParam();
  TradeWithCredit(c.credit, c.stock);
  uint32_t code =
      c.payBack ? TAVO_PayBack(handle) : TAVO_PayOut(handle, c.amount);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(Payouts(), c.payouts);
  // Nothing is refreshed after the payout has started.
  if (!c.payouts.empty()) {
    EXPECT_EQ(d.frames.back(), c.payouts.back());
  }
  // Acceptance was switched off before anything was paid.
  ASSERT_GE(Commands().size(), 2u);
  EXPECT_EQ(Commands()[0], kNoteOff);
  EXPECT_EQ(Commands()[1], kCoinOff);
  EXPECT_EQ(Unit.PcbRecord.AcceptLimit, 0u);
  bool notes = false, coins = false;
  for (const Bytes &f : c.payouts) (f[0] == 0x5B ? notes : coins) = true;
  EXPECT_EQ(Unit.BillPending, notes ? 0x02 : 0x00);
  EXPECT_EQ(Unit.CoinPending, coins ? 0x02 : 0x00);
}

INSTANTIATE_TEST_SUITE_P(
    Payouts, PayoutSplits,
    ::testing::Values(
        Split{"NoteAndThreeFiveHundreds",
              true,
              2500,
              0,
              {1, {0, 0, 0, 3}},
              {NotePayout(0x10), CoinPayout(0x00, 0x15, 0x00)}},
        Split{"CoinsOnlyWithoutNotes",
              true,
              2500,
              0,
              {0, {0, 0, 0, 5}},
              {CoinPayout(0x00, 0x25, 0x00)}},
        Split{
            "NotesOnly", true, 3000, 0, {5, {0, 0, 0, 0}}, {NotePayout(0x30)}},
        Split{"SmallCoins",
              true,
              1230,
              0,
              {0, {3, 0, 2, 2}},
              {CoinPayout(0x30, 0x12, 0x00)}},
        Split{"NinthNoteIsTheLast",
              true,
              12000,
              0,
              {20, {0, 0, 0, 10}},
              {NotePayout(0x90), CoinPayout(0x00, 0x30, 0x00)}},
        Split{"PayOutAboveTheCredit",
              false,
              500,
              2000,
              {0, {0, 0, 0, 4}},
              {CoinPayout(0x00, 0x20, 0x00)}},
        Split{"PayOutOfNothing", false, 1000, 0, {5, {5, 5, 5, 5}}, {}},
        Split{"PayOutOfTwelveThousand",
              false,
              0,
              12000,
              {12, {0, 0, 0, 6}},
              {NotePayout(0x90), CoinPayout(0x00, 0x30, 0x00)}}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(PaymentExport, AmountsBeyondSixteenBitsAreRefusedNotCut) {
  // 0x10000 + 1500 would be paid as 1500, and 0x10064 charged as 100.
  TradeWithCredit(2000, Stock{1, {0, 0, 0, 2}});
  Forget();
  EXPECT_EQ(TAVO_PayOut(handle, 0x10000 + 1500), 0x1573u);
  EXPECT_EQ(TAVO_Charge(handle, 0x10064), 0x1373u);
  EXPECT_EQ(TAVO_Charge(handle, 0xFFFF0064), 0x1373u);
  EXPECT_TRUE(Commands().empty());
  EXPECT_EQ(Board().Credit, 2000u);
}

TEST_F(PaymentExport, AUnitThatDroppedOutCannotPay) {
  // 2500 in credit; the notes in stock would pay 2000 of it, the coins the
  // rest. Then the note unit reports its id as 00 00: it is gone, and the
  // coins alone cannot pay. The payout is refused, not reported done with
  // 2000 unpaid.
  TradeWithCredit(2500, Stock{2, {0, 0, 0, 1}});
  Unit.LiveRecord.BillUnitId[0] = 0;  // as a poll reporting 00 00 leaves it
  Unit.LiveRecord.BillUnitId[1] = 0;
  Forget();
  EXPECT_EQ(TAVO_PayBack(handle), 0x1477u);
  EXPECT_EQ(TAVO_PayOut(handle, 2000), 0x1577u);
  EXPECT_TRUE(Payouts().empty());
  EXPECT_EQ(Unit.CoinPending, 0);
  // What the coins can pay is still paid.
  EXPECT_EQ(TAVO_PayOut(handle, 500), 0u);
  EXPECT_EQ(Payouts(), std::vector<Bytes>({CoinPayout(0x00, 0x05, 0x00)}));
}

TEST_F(PaymentExport, PayoutTheStockCannotMakeIsRefusedWhole) {
  struct Case {
    const char *name;
    bool payBack;
    unsigned credit;
    uint32_t amount;
    Stock stock;
  };
  const Case cases[] = {
      {"ten notes, no coins", true, 10000, 0, {20, {0, 0, 0, 0}}},
      {"a hundred short", true, 1000, 0, {0, {0, 0, 4, 1}}},
      {"pay out ten notes", false, 0, 10000, {20, {0, 0, 0, 1}}},
      {"pay out 995", false, 5000, 995, {9, {99, 99, 99, 99}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    TradeWithCredit(c.credit, c.stock);
    uint32_t code =
        c.payBack ? TAVO_PayBack(handle) : TAVO_PayOut(handle, c.amount);
    EXPECT_EQ(code, c.payBack ? 0x1477u : 0x1577u);
    EXPECT_TRUE(Payouts().empty());
    EXPECT_EQ(Unit.BillPending, 0);
    EXPECT_EQ(Unit.CoinPending, 0);
  }
}

TEST_F(PaymentExport, FailedNotePayoutStartsNoCoinPayout) {
  for (bool payBack : {true, false}) {
    Restart();
    TradeWithCredit(2500, Stock{1, {0, 0, 0, 3}});
    unit.Override(NotePayout(0x10), kNone);
    uint32_t code = payBack ? TAVO_PayBack(handle) : TAVO_PayOut(handle, 2500);
    EXPECT_EQ(code, payBack ? 0x1468u : 0x1568u);
    EXPECT_EQ(Payouts(), std::vector<Bytes>({NotePayout(0x10)}));
    EXPECT_EQ(Unit.BillPending, 0);
    EXPECT_EQ(Unit.CoinPending, 0);
  }
}

TEST_F(PaymentExport, FailedCoinPayoutLeavesTheNotesPaying) {
  for (bool payBack : {true, false}) {
    Restart();
    TradeWithCredit(2500, Stock{1, {0, 0, 0, 3}});
    unit.Override(CoinPayout(0x00, 0x15, 0x00), kNone);
    uint32_t code = payBack ? TAVO_PayBack(handle) : TAVO_PayOut(handle, 2500);
    EXPECT_EQ(code, payBack ? 0x1467u : 0x1567u);
    EXPECT_EQ(Unit.BillPending, 0x02);
    EXPECT_EQ(Unit.CoinPending, 0);
  }
}

TEST_F(PaymentExport, PayBackPaysTheCreditAsTheWaitLeftIt) {
  TradeWithCredit(1000, Stock{0, {0, 0, 0, 4}});
  // A last coin drops in while the units are being stopped.
  d.onWrite = [&](const Bytes &f) {
    if (f == kCoinOff) unit.InsertCoins(500, 1);
  };
  ASSERT_EQ(TAVO_PayBack(handle), 0u);
  EXPECT_EQ(Payouts(), std::vector<Bytes>({CoinPayout(0x00, 0x15, 0x00)}));
}

struct PayFailure {
  const char *name;
  std::function<void(sale::UnitModel &)> fault;
  uint8_t reason;
};

class PayFailures : public PaymentExport,
                    public ::testing::WithParamInterface<PayFailure> {};

TEST_P(PayFailures, CarryTheReasonUnderEachExport) {
  const PayFailure &c = GetParam();
  for (uint32_t fn : {0x14u, 0x15u}) {
    SCOPED_TRACE(fn);
    Restart();
    TradeWithCredit(500, Stock{0, {0, 0, 0, 1}});
    c.fault(unit);
    uint32_t code =
        fn == 0x14 ? TAVO_PayBack(handle) : TAVO_PayOut(handle, 500);
    EXPECT_EQ(code, (fn << 8) | c.reason);
    EXPECT_TRUE(Payouts().empty());
    EXPECT_EQ(Unit.PcbRecord.TradeId, 1u);
  }
}

void FailPolls(sale::UnitModel &u, int n, int skip) {
  if (n & 1) u.Override(kCoinPoll, kNone, 1, skip);
  if (n & 2) u.Override(kBillPoll, kNone, 1, skip);
  if (n & 4) u.Override(kBoardPoll, kAck, 1, skip);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, PayFailures,
    ::testing::Values(
        PayFailure{"FirstRefreshCoin", [](auto &u) { FailPolls(u, 1, 0); },
                   0x31},
        PayFailure{"FirstRefreshAll", [](auto &u) { FailPolls(u, 7, 0); },
                   0x37},
        PayFailure{"CoinPayoutPending", [](auto &) { Unit.CoinPending = 0x02; },
                   0x04},
        PayFailure{"CoinReportsPayout", [](auto &u) { u.coin.status |= 0x10; },
                   0x05},
        PayFailure{"NoteReportsPayout", [](auto &u) { u.bill.s0 |= 0x08; },
                   0x05},
        PayFailure{"CoinInhibit", [](auto &u) { u.Override(kCoinOff, kNone); },
                   0x62},
        PayFailure{"NoteInhibit", [](auto &u) { u.Override(kNoteOff, kNone); },
                   0x64},
        PayFailure{"CoinNeverStops", [](auto &u) { u.coin.stopAfter = -1; },
                   0x52},
        PayFailure{"NoteNeverStops", [](auto &u) { u.bill.stopAfter = -1; },
                   0x53},
        PayFailure{"NeitherStops",
                   [](auto &u) { u.coin.stopAfter = u.bill.stopAfter = -1; },
                   0x54},
        PayFailure{"WaitRefreshCoin", [](auto &u) { FailPolls(u, 1, 1); },
                   0x4F},
        PayFailure{"WaitRefreshAll", [](auto &u) { FailPolls(u, 7, 1); },
                   0x49}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(PaymentExport, RefusalsComeInTheirOrder) {
  // A pending command is named before a unit's payout bit, and both before
  // anything about the amount.
  struct Call {
    const char *name;
    uint8_t fn;
    std::function<uint32_t(uint32_t)> run;
  };
  const Call calls[] = {
      {"AcceptEx", 0x12, [](uint32_t h) { return TAVO_AcceptEx(h, 0, 3); }},
      {"Charge", 0x13, [](uint32_t h) { return TAVO_Charge(h, 0); }},
      {"PayBack", 0x14, [](uint32_t h) { return TAVO_PayBack(h); }},
      {"PayOut", 0x15, [](uint32_t h) { return TAVO_PayOut(h, 99995); }},
  };
  TradeWithCredit(500);
  for (const Call &c : calls) {
    SCOPED_TRACE(c.name);
    uint32_t base = uint32_t{c.fn} << 8;
    unit.coin.status = 0x14;  // stopped, reporting a payout
    Unit.CoinPending = 0x01;
    EXPECT_EQ(c.run(handle), base | 0x04);
    Unit.CoinPending = 0;
    EXPECT_EQ(c.run(handle), base | 0x05);
    unit.coin.status = 0x04;
    unit.bill.s0 = 0x0C;
    EXPECT_EQ(c.run(handle), base | 0x05);
    unit.bill.s0 = 0x04;
  }
  EXPECT_TRUE(Commands().empty());
}

TEST_F(PaymentExport, PayRefusalsOutsideATrade) {
  EXPECT_EQ(TAVO_PayBack(0), 0x1401u);
  EXPECT_EQ(TAVO_PayOut(0, 100), 0x1501u);
  Open();
  EXPECT_EQ(TAVO_PayBack(handle + 1), 0x1402u);
  EXPECT_EQ(TAVO_PayOut(handle + 1, 100), 0x1502u);
  EXPECT_EQ(TAVO_PayBack(handle), 0x1403u);
  EXPECT_EQ(TAVO_PayOut(handle, 100), 0x1503u);
  EXPECT_TRUE(d.frames.empty());
}

TEST_F(PaymentExport, CreditAboveSixteenBitsIsHeldAtTheTop) {
  OpenTrade();
  // 99 coins of 500 and 17 held notes: 66500, which would wrap to 964.
  unit.coin.in[3] = 99;
  unit.bill.escrow = 17;
  unit.bill.stock = 9;
  unit.coin.stock[3] = 2;
  EXPECT_EQ(Board().Credit, 65530u);
  EXPECT_EQ(TAVO_TradeEnd(handle), 0x1171u);
  // Paying part of it shows the rest at the next refresh: nothing vanished.
  ASSERT_EQ(TAVO_PayOut(handle, 10000), 0u);
  EXPECT_EQ(Payouts(), std::vector<Bytes>(
                           {NotePayout(0x90), CoinPayout(0x00, 0x10, 0x00)}));
  Poll();
  EXPECT_EQ(Unit.BillPending | Unit.CoinPending, 0);
  EXPECT_EQ(Board().Credit, 56500u);
}

TEST_F(PaymentExport, PayBackOfACreditHeldAtTheTopPaysWhatItCan) {
  OpenTrade();
  unit.coin.in[3] = 99;
  unit.bill.escrow = 17;  // 66500 in all
  unit.bill.stock = 9;
  unit.coin.stock[0] = 20;
  unit.coin.stock[2] = 99;
  unit.coin.stock[3] = 99;
  ASSERT_GE(Board().Credit, 65530u);
  ASSERT_EQ(TAVO_PayBack(handle), 0u);
  Poll();
  // Whatever was paid, the rest shows at the next refresh, and paying that
  // too ends the trade.
  uint16_t rest = Board().Credit;
  EXPECT_GT(rest, 0u);
  EXPECT_EQ(rest, 66500u - 65530u);
  ASSERT_EQ(TAVO_PayBack(handle), 0u);
  Poll();
  EXPECT_EQ(TAVO_TradeEnd(handle), 0u);
}

TEST_F(PaymentExport, TradeEndWaitsForThePayoutReport) {
  TradeWithCredit(2500, Stock{1, {0, 0, 0, 3}});
  unit.coin.reportsPayout = false;
  ASSERT_EQ(TAVO_PayBack(handle), 0u);
  for (int i = 0; i < 3; ++i) {
    Forget();
    EXPECT_EQ(TAVO_TradeEnd(handle), 0x1104u);
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(TAVO_AcceptEx(handle, 1000, 3), 0x1204u);
    EXPECT_EQ(TAVO_Charge(handle, 100), 0x1304u);
    EXPECT_EQ(TAVO_PayBack(handle), 0x1404u);
    EXPECT_EQ(TAVO_PayOut(handle, 100), 0x1504u);
    Poll();
  }
  // The note payout was reported at once; the coins now are.
  EXPECT_EQ(Unit.BillPending, 0);
  EXPECT_EQ(Unit.CoinPending, 0x02);
  unit.coin.reportsPayout = true;
  TavoData live = Poll();
  EXPECT_EQ(Unit.CoinPending, 0);
  EXPECT_EQ(live.CoinOut[3], 3);
  EXPECT_EQ(live.BillOut, 1);
  EXPECT_EQ(Board().Credit, 0u);
  EXPECT_EQ(TAVO_TradeEnd(handle), 0u);
}

}  // namespace
