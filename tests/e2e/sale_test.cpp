// Whole sales through the twenty exports against the virtual unit.
#include <chrono>

#include "e2e_fixture.h"

namespace {

using Sale = VirtualUnit;

TEST_F(Sale, CoinsOnlyStopsAtTheLimitAndPaysTheChange) {
  Open();
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  ASSERT_CODE(0u, TAVO_Accept(handle_, 1000));
  EXPECT_TRUE(State().coin_accepting);

  InsertCoins({500, 100, 100, 100});
  EXPECT_EQ(800, Credit());
  EXPECT_TRUE(State().coin_accepting);

  InsertCoins({500});
  EXPECT_EQ(1300, Credit());
  EXPECT_FALSE(State().coin_accepting) << "the limit was reached";
  EXPECT_EQ(VU_REFUSED, vu_insert_coin(0, 10));

  ASSERT_CODE(0u, TAVO_Charge(handle_, 1200));
  EXPECT_EQ(1200u, Board().Meters[8]);
  EXPECT_EQ(100, Credit());
  PayBackAll();
  EXPECT_EQ(0, Credit());
  ASSERT_CODE(0u, TAVO_TradeEnd(handle_));
  EXPECT_EQ(0u, Board().TradeId);
  EXPECT_EQ(0u, Board().Meters[8]);

  vu_money_report money;
  ASSERT_EQ(VU_OK, vu_check_money(0, &money));
  EXPECT_EQ(1300, money.value_in);
  EXPECT_EQ(100, money.value_out);
  EXPECT_EQ(1, money.paid[2]) << "the change is one coin of 100";
}

TEST_F(Sale, NotesAreTakenInOneByOneUpToTheNoteLimit) {
  Open();
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  ASSERT_CODE(0u, TAVO_AcceptEx(handle_, 5000, 3));
  EXPECT_TRUE(State().note_accepting);

  InsertNoteUntilStacked(1);
  EXPECT_EQ(11, State().note_stock);
  InsertNoteUntilStacked(2);
  EXPECT_EQ(12, State().note_stock);

  // The third note is the last the limit allows: it stays held.
  ASSERT_EQ(VU_OK, vu_insert_note(0, 1000));
  TavoData t{};
  for (int i = 0; i < 4; ++i) t = Live();
  EXPECT_EQ(1, t.BillEscrow);
  EXPECT_EQ(2, t.BillStacked);
  EXPECT_TRUE(t.BillFlags & TAVO_BILL_HELD);
  EXPECT_EQ(3000, Credit());
  EXPECT_EQ(VU_REFUSED, vu_insert_note(0, 1000)) << "the escrow is full";

  ASSERT_CODE(0u, TAVO_Charge(handle_, 2500));
  EXPECT_EQ(500, Credit());
  PayBackAll();
  ASSERT_CODE(0u, TAVO_TradeEnd(handle_));
  // The trade end's settle stacks the held note.
  EXPECT_EQ(0, State().note_escrow);
  EXPECT_EQ(13, State().note_stock);
  EXPECT_EQ(0, Live().BillStacked);
}

TEST_F(Sale, NoteHeldAtTheLimitIsTakenInOnceTheChargeLowersTheCredit) {
  Open();
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  ASSERT_CODE(0u, TAVO_Accept(handle_, 730));
  ASSERT_EQ(VU_OK, vu_insert_note(0, 1000));
  TavoData t = Live();
  EXPECT_EQ(1, t.BillEscrow) << "the credit reached the limit: held";
  EXPECT_FALSE(State().note_accepting);

  ASSERT_CODE(0u, TAVO_Charge(handle_, 730));
  // Taking the note in moves it from the escrow to the library's count over
  // two polls; the credit is whole again once it is counted.
  t = PollUntil([](const TavoData &d) { return d.BillStacked == 1; });
  EXPECT_EQ(0, t.BillEscrow);
  EXPECT_EQ(270, Credit());
  EXPECT_EQ(11, State().note_stock);
  PayBackAll();
  ASSERT_CODE(0u, TAVO_TradeEnd(handle_));
}

TEST_F(Sale, ChangeTheStockCannotPayIsRefused) {
  const int empty[4] = {0, 0, 0, 0};
  ASSERT_EQ(VU_OK, vu_set_coin_stock(0, empty));
  ASSERT_EQ(VU_OK, vu_set_note_stock(0, 0));
  Open();
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  ASSERT_CODE(0u, TAVO_AcceptEx(handle_, 1000, 0));
  InsertCoins({500, 500});
  EXPECT_EQ(1000, Credit());

  EXPECT_CODE(0x1375u, TAVO_Charge(handle_, 990)) << "no coin of 10 in stock";
  EXPECT_CODE(0x1375u, TAVO_Charge(handle_, 995)) << "5 is no multiple of 10";
  EXPECT_EQ(0u, Board().Meters[8]) << "a refused charge reaches no meter";
  ASSERT_CODE(0u, TAVO_Charge(handle_, 500));
  EXPECT_EQ(500, Credit());
  PayBackAll();
  ASSERT_CODE(0u, TAVO_TradeEnd(handle_));
  EXPECT_EQ(1, State().coin_stock[3]) << "two taken in, one paid back";
}

struct PayoutCase {
  const char *name;
  int noteStock;
  int credit;    // made of coins of 500 and 100
  bool payBack;  // else PayOut of `amount`
  int amount;
  long paidNotes;
  long paidCoins[4];
};

class Payout : public VirtualUnit,
               public ::testing::WithParamInterface<PayoutCase> {};

TEST_P(Payout, SplitsIntoNotesAndCoins) {
  const PayoutCase &c = GetParam();
  ASSERT_EQ(VU_OK, vu_set_note_stock(0, c.noteStock));
  Open();
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  if (c.credit > 0) {
    ASSERT_CODE(0u, TAVO_AcceptEx(handle_, static_cast<uint32_t>(c.credit), 0));
    for (int i = 0; i < c.credit / 500; ++i) InsertCoins({500});
    for (int i = 0; i < c.credit % 500 / 100; ++i) InsertCoins({100});
    ASSERT_EQ(c.credit, Credit());
  }
  if (c.payBack) {
    ASSERT_CODE(0u, TAVO_PayBack(handle_));
  } else {
    ASSERT_CODE(0u, TAVO_PayOut(handle_, static_cast<uint32_t>(c.amount)));
  }
  PollUntil(NothingPending);
  EXPECT_EQ(0, Credit());
  ASSERT_CODE(0u, TAVO_TradeEnd(handle_));

  vu_money_report money;
  ASSERT_EQ(VU_OK, vu_check_money(0, &money));
  EXPECT_EQ(c.paidNotes, money.paid[4]);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(c.paidCoins[k], money.paid[k]) << k;
  EXPECT_EQ(0, money.unpaid);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, Payout,
    ::testing::Values(
        PayoutCase{"PayBackNotesAndCoins", 10, 2600, true, 0, 2, {0, 0, 1, 1}},
        PayoutCase{"PayBackFewNotes", 1, 2500, true, 0, 1, {0, 0, 0, 3}},
        PayoutCase{"PayBackCoinsOnly", 0, 1500, true, 0, 0, {0, 0, 0, 3}},
        PayoutCase{"PayOutAboveCredit", 10, 0, false, 1560, 1, {1, 1, 0, 1}},
        PayoutCase{"PayOutOfNothing", 10, 0, false, 0, 0, {0, 0, 0, 0}}),
    [](const auto &test) { return std::string(test.param.name); });

struct FollowUpCase {
  const char *name;
  vu_fault fault;
  uint32_t code;
};

class NoteFollowUp : public VirtualUnit,
                     public ::testing::WithParamInterface<FollowUpCase> {};

TEST_P(NoteFollowUp, FailsWithTheCodeOfTheStepTheUnitRefused) {
  Open();
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  ASSERT_CODE(0u, TAVO_AcceptEx(handle_, 5000, 3));
  vu_fault f = GetParam().fault;
  ASSERT_EQ(VU_OK, vu_add_fault(0, &f));
  ASSERT_EQ(VU_OK, vu_insert_note(0, 1000));
  uint32_t first = 0;
  TavoData t{};
  for (int i = 0; i < 4 && first == 0; ++i) {
    first = TAVO_GetTAVOData(handle_, &t);
  }
  EXPECT_CODE(GetParam().code, first);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, NoteFollowUp,
    ::testing::Values(
        FollowUpCase{"InhibitRefused",
                     {VU_FAULT_STATUS, 0x5B, 0x10, 0x20, 0, 1, 0xEE},
                     0x0864},
        FollowUpCase{"SettleRefused",
                     {VU_FAULT_STATUS, 0x5B, 0x10, 0x02, 0, 1, 0xEE},
                     0x0865},
        FollowUpCase{"CountRefused",
                     {VU_FAULT_STATUS, 0xF3, 0x72, 0x00, 0, 1, 0xEE},
                     0x0878},
        // The third note poll of the call is the one in the wait.
        FollowUpCase{"NoteUnitSilentInTheWait",
                     {VU_FAULT_SILENCE, 0x5A, -1, -1, 2, 1, 0},
                     0x0851}),
    [](const auto &test) { return std::string(test.param.name); });

TEST_F(Sale, TradeEndIsRefusedWhileCreditRemains) {
  Open();
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  ASSERT_CODE(0u, TAVO_Accept(handle_, 500));
  InsertCoins({100});
  EXPECT_EQ(100, Credit());

  EXPECT_CODE(0x1171u, TAVO_TradeEnd(handle_));
  PcbData p = Board();
  EXPECT_NE(0u, p.TradeId) << "the trade stays open";
  EXPECT_EQ(0, p.AcceptLimit);
  EXPECT_FALSE(State().coin_accepting);

  PayBackAll();
  ASSERT_CODE(0u, TAVO_TradeEnd(handle_));
}

TEST_F(Sale, PayoutHeldByAJamFinishesOnceCleared) {
  Open();
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  ASSERT_CODE(0u, TAVO_Accept(handle_, 600));
  InsertCoins({500, 100});
  ASSERT_CODE(0u, TAVO_Charge(handle_, 100));
  ASSERT_CODE(0u, TAVO_PayBack(handle_));
  ASSERT_EQ(VU_OK, vu_jam(0, VU_COIN, 1));

  TavoData t = Live();
  EXPECT_TRUE(t.CoinFlags & 0x80u) << "the unit reports its jam";
  EXPECT_CODE(0x1104u, TAVO_TradeEnd(handle_)) << "the payout is pending";
  EXPECT_EQ(VU_JAMMED, vu_insert_coin(0, 100));

  ASSERT_EQ(VU_OK, vu_jam(0, VU_COIN, 0));
  PollUntil(NothingPending);
  EXPECT_EQ(0, Credit());
  ASSERT_CODE(0u, TAVO_TradeEnd(handle_));
}

TEST_F(Sale, JammedUnitThatNeverStopsFailsTheTradeEnd) {
  Open();
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  ASSERT_CODE(0u, TAVO_Accept(handle_, 600));
  ASSERT_EQ(VU_OK, vu_jam(0, VU_COIN, 1));
  // The wait for the stopped bits takes its ten polls (about one second).
  EXPECT_CODE(0x1152u, TAVO_TradeEnd(handle_));
  EXPECT_NE(0u, Board().TradeId);
  ASSERT_EQ(VU_OK, vu_jam(0, VU_COIN, 0));
  ASSERT_CODE(0u, TAVO_TradeEnd(handle_));
}

long vu_money_value_out() {
  vu_money_report r{};
  vu_check_money(0, &r);
  return r.value_out;
}

TEST_F(Sale, ResetMidTradeKeepsTheTradeInTheBackupUntilCleared) {
  Open();
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  ASSERT_CODE(0u, TAVO_Accept(handle_, 1000));
  InsertCoins({100, 100, 50});
  EXPECT_EQ(250, Credit());

  ASSERT_CODE(0u, TAVO_Reset(handle_));
  EXPECT_TRUE(State().restarting);
  EXPECT_TRUE(State().backup_stored);
  TavoData t{};
  EXPECT_CODE(0x0601u, TAVO_GetTAVOData(handle_, &t));

  Open();
  TavoData backup{};
  ASSERT_CODE(0u, TAVO_GetBackupData(handle_, &backup));
  EXPECT_EQ(0, backup.CoinIn[0]);
  EXPECT_EQ(1, backup.CoinIn[1]);
  EXPECT_EQ(2, backup.CoinIn[2]);
  EXPECT_EQ(0u, Board().TradeId);
  EXPECT_TRUE(State().started);

  ASSERT_CODE(0u, TAVO_ClearBackup(handle_));
  EXPECT_FALSE(State().backup_stored);
  ASSERT_CODE(0u, TAVO_GetBackupData(handle_, &backup));
  EXPECT_EQ(2, backup.CoinIn[2]) << "the record keeps what open read";

  // The open left the unfinished trade unsettled: the next trade carries it
  // on, and the customer's 250 are still credit to be paid back.
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  EXPECT_EQ(250, Credit());
  PayBackAll();
  ASSERT_CODE(0u, TAVO_TradeEnd(handle_));
  EXPECT_EQ(250, vu_money_value_out());

  // Settled, the trade leaves nothing in the backup, and the next sale runs
  // from a clean slate.
  Close();
  Open();
  ASSERT_CODE(0u, TAVO_GetBackupData(handle_, &backup));
  EXPECT_EQ(0, backup.CoinIn[2]);
  EXPECT_EQ(0u, backup.CoinFlags);
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  EXPECT_EQ(0, Credit());
  ASSERT_CODE(0u, TAVO_TradeEnd(handle_));
}

TEST_F(Sale, TwoSalesInARow) {
  Open();
  for (int sale = 1; sale <= 2; ++sale) {
    ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
    EXPECT_EQ(static_cast<uint32_t>(sale), Board().TradeId);
    ASSERT_CODE(0u, TAVO_AcceptEx(handle_, 1500, 2));
    InsertNoteUntilStacked(1);
    InsertCoins({500});
    EXPECT_EQ(1500, Credit());
    ASSERT_CODE(0u, TAVO_Charge(handle_, 1200));
    PayBackAll();
    ASSERT_CODE(0u, TAVO_TradeEnd(handle_));
  }
  EXPECT_EQ(12, State().note_stock);
}

}  // namespace

namespace {

struct Wire {
  uint64_t bytes = 0;
  uint64_t exchanges = 0;
  uint64_t silences = 0;
};

void CountWire(void *context, const vu_trace_event *e) {
  Wire *w = static_cast<Wire *>(context);
  w->bytes += e->length;
  if (e->direction == VU_TRACE_REQUEST) ++w->exchanges;
  if (e->direction == VU_TRACE_REPLY && e->length == 0) ++w->silences;
}

TEST_F(Sale, OnTheVirtualClockASaleTakesItsLinkTimeWithoutWaiting) {
  const double latencyUs = 2000;
  vu_timing timing{1, 0, 0, latencyUs, 0};
  vu_set_timing(&timing);
  Wire wire;
  vu_set_trace(CountWire, &wire);
  auto wallStart = std::chrono::steady_clock::now();

  Open();
  ASSERT_CODE(0u, TAVO_TradeBegin(handle_));
  ASSERT_CODE(0u, TAVO_Accept(handle_, 600));
  InsertCoins({500, 100});
  ASSERT_CODE(0u, TAVO_Charge(handle_, 600));
  ASSERT_CODE(0u, TAVO_TradeEnd(handle_));
  Close();

  // Every byte at 10 bit times of 38400 baud, and the latency once per
  // exchange: the link's physical limit for this sale.
  double expected = static_cast<double>(wire.bytes) * 1e6 / 3840 +
                    static_cast<double>(wire.exchanges) * latencyUs;
  EXPECT_EQ(0u, wire.silences);
  EXPECT_GT(wire.exchanges, 30u);
  EXPECT_NEAR(expected, static_cast<double>(vu_now_us()),
              static_cast<double>(wire.exchanges) * 2);
  auto wall = std::chrono::steady_clock::now() - wallStart;
  EXPECT_LT(wall, std::chrono::milliseconds(500)) << "nothing really waited";
}

TEST_F(Sale, OnTheVirtualClockTheBoardIsSilentWhileItRestarts) {
  Open();
  vu_timing timing{1, 0, 0, 0, 3500};
  vu_set_timing(&timing);
  ASSERT_CODE(0u, TAVO_Reset(handle_));
  // The second reset frame goes unanswered: one read time-out.
  EXPECT_GE(vu_now_us(), 1000000u);
  EXPECT_LT(vu_now_us(), 1100000u);
  // Both hellos fall into the restart (1 s each): the board is not there.
  EXPECT_CODE(0x0115u, TAVO_Open(&handle_));
  EXPECT_FALSE(State().open);
  // 3 s on, the first hello is still lost, the second is answered.
  Open();
  EXPECT_GE(vu_now_us(), 4000000u);
  EXPECT_FALSE(State().restarting);
}

TEST_F(Sale, OnTheRealClockTheLatencyIsReallyWaited) {
  Open();
  vu_timing timing{1, 1, 0, 20000, 0};
  vu_set_timing(&timing);
  auto start = std::chrono::steady_clock::now();
  PcbData p{};
  ASSERT_CODE(0u, TAVO_GetPCBData(handle_, &p));  // three polls
  auto wall = std::chrono::steady_clock::now() - start;
  EXPECT_GE(wall, std::chrono::milliseconds(60));
  EXPECT_LT(wall, std::chrono::milliseconds(1000));
  vu_set_timing(nullptr);
}

}  // namespace
