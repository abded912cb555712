// The status queries, and the note follow-up that TAVO_GetTAVOData runs
// while a trade is open: a held note is taken in over several polls.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "sale_fixture.h"
#include "state/state.h"

namespace {

using fake::Bytes;
using sale::BillCtrl;
using sale::CoinCtrl;
using sale::Counter;
using sale::kBillPoll;
using sale::kBoardPoll;
using sale::kCoinPoll;
using sale::kNone;

// A note is counted on counter 0 in two steps: marked on its way before
// its settle, completed once it has left the escrow.
const Bytes kNoteMarked = Counter(0x00, 0x08);
const Bytes kNoteCounted = Counter(0x00, 0x08);

class QueryExport : public sale::SaleTest {
 protected:
  // A trade taking money up to `limit`, `notes` of them at most; the coin
  // unit holds `reserve` 500-coins for change.
  void Accepting(uint16_t limit, uint8_t notes, uint8_t reserve = 5) {
    ASSERT_NO_FATAL_FAILURE(OpenTrade());
    unit.coin.stock[3] = reserve;
    ASSERT_EQ(TAVO_AcceptEx(handle, limit, notes), 0u);
    Forget();
  }

  // Polls until the follow-up has nothing left to finish.
  void PollUntilSettled() {
    Poll();
    for (int i = 0; i < 5 && Unit.BillPending != 0; ++i) Poll();
    EXPECT_EQ(Unit.BillPending, 0);
  }
};

TEST_F(QueryExport, WithoutATradeTheQueriesOnlyPoll) {
  Open();
  // Acceptance on and a held note would both draw commands in a trade.
  unit.coin.status |= 0x01;
  unit.coin.stock[3] = 9;
  unit.InsertNote();
  Board();
  Poll();
  Poll();
  const std::vector<Bytes> polls = {kBillPoll, kCoinPoll, kBoardPoll};
  std::vector<Bytes> expected;
  for (int i = 0; i < 3; ++i)
    expected.insert(expected.end(), polls.begin(), polls.end());
  EXPECT_EQ(d.frames, expected);
}

TEST_F(QueryExport, RecordsAreCopiedAsTheUnitReportsThem) {
  Open();
  unit.coin.in[1] = 12;
  unit.coin.stock[3] = 7;
  unit.bill.escrow = 1;
  unit.bill.stock = 15;
  unit.charged = 0;
  TavoData live = Poll();
  EXPECT_EQ(live.CoinIn[1], 12);
  EXPECT_EQ(live.CoinStock[3], 7);
  EXPECT_EQ(live.BillEscrow, 1);
  EXPECT_EQ(live.BillStock, 15);
  EXPECT_EQ(live.CoinUnitId[0], 0x01);
  EXPECT_EQ(live.BillUnitId[1], 0x04);
  EXPECT_EQ(std::memcmp(&live, &Unit.LiveRecord, sizeof live), 0);
  PcbData pcb = Board();
  EXPECT_EQ(pcb.Credit, 12 * 50 + 1000);
  EXPECT_EQ(std::memcmp(&pcb, &Unit.PcbRecord, sizeof pcb), 0);
}

TEST_F(QueryExport, BackupDataNeedsNoExchange) {
  unit.Override({0xF7}, fake::Body(0x11, fake::Item(0x19, {0x33})));
  Open();
  TavoData first{}, second{};
  ASSERT_EQ(TAVO_GetBackupData(handle, &first), 0u);
  unit.bill.stock = 1;
  Poll();
  Forget();
  ASSERT_EQ(TAVO_GetBackupData(handle, &second), 0u);
  EXPECT_TRUE(d.calls.empty());
  EXPECT_EQ(first.BillStock, 33);
  EXPECT_EQ(std::memcmp(&first, &second, sizeof first), 0);
}

TEST_F(QueryExport, NullBuffersAreRefusedBeforeAnyExchange) {
  Accepting(5000, 3);
  unit.InsertNote();
  EXPECT_EQ(TAVO_GetPCBData(handle, nullptr), 0x0573u);
  EXPECT_EQ(TAVO_GetTAVOData(handle, nullptr), 0x0673u);
  EXPECT_EQ(TAVO_GetBackupData(handle, nullptr), 0x0773u);
  EXPECT_TRUE(d.calls.empty());
}

TEST_F(QueryExport, HandleChecks) {
  PcbData pcb{};
  TavoData tavo{};
  EXPECT_EQ(TAVO_GetPCBData(0, &pcb), 0x0501u);
  EXPECT_EQ(TAVO_GetTAVOData(0, &tavo), 0x0601u);
  EXPECT_EQ(TAVO_GetBackupData(0, &tavo), 0x0701u);
  Open();
  EXPECT_EQ(TAVO_GetPCBData(handle + 1, &pcb), 0x0502u);
  EXPECT_EQ(TAVO_GetTAVOData(handle + 1, &tavo), 0x0602u);
  EXPECT_EQ(TAVO_GetBackupData(handle + 1, &tavo), 0x0702u);
  EXPECT_TRUE(d.calls.empty());
}

TEST_F(QueryExport, RefreshFailuresNameTheFailedExchanges) {
  struct Case {
    bool coin, bill, board;
    uint8_t n;
  };
  const Case cases[] = {{true, false, false, 1}, {false, true, false, 2},
                        {true, true, false, 3},  {false, false, true, 4},
                        {true, false, true, 5},  {false, true, true, 6},
                        {true, true, true, 7}};
  Open();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.n);
    for (int query = 0; query < 2; ++query) {
      // A device whose exchange failed is read in full the next time (its
      // report may have been lost), so its read fails as its poll does.
      unit.ClearOverrides();
      for (const Bytes &poll : {kCoinPoll, sale::kCoinRead}) {
        if (c.coin) unit.Override(poll, kNone);
      }
      for (const Bytes &poll : {kBillPoll, sale::kBillRead}) {
        if (c.bill) unit.Override(poll, sale::kSilence);
      }
      for (const Bytes &poll : {kBoardPoll, sale::kBoardRead}) {
        if (c.board) unit.Override(poll, sale::kAck);
      }
      PcbData pcb;
      TavoData tavo;
      std::memset(&pcb, 0xAA, sizeof pcb);
      std::memset(&tavo, 0xAA, sizeof tavo);
      if (query == 0) {
        EXPECT_EQ(TAVO_GetPCBData(handle, &pcb), 0x0530u + c.n);
        EXPECT_EQ(pcb.SerialNo[0], 0xAA) << "buffer written on failure";
      } else {
        EXPECT_EQ(TAVO_GetTAVOData(handle, &tavo), 0x0630u + c.n);
        EXPECT_EQ(tavo.CoinIn[0], 0xAA) << "buffer written on failure";
      }
    }
  }
}

TEST_F(QueryExport, LatchedCoinBitIsReturnedExactlyOnce) {
  Open();
  unit.coin.events |= 0x08;
  PcbData pcb{};
  ASSERT_EQ(TAVO_GetPCBData(handle, &pcb), 0u);  // decodes the bit
  ASSERT_EQ(TAVO_GetPCBData(handle, &pcb), 0u);  // a later report without it
  // A failed poll copies nothing, so it does not count as seen.
  unit.Override(kBoardPoll, kNone);
  TavoData tavo{};
  EXPECT_EQ(TAVO_GetTAVOData(handle, &tavo), 0x0634u);
  EXPECT_NE(Poll().CoinFlags & 0x08u, 0u);
  EXPECT_EQ(Poll().CoinFlags & 0x08u, 0u);
  EXPECT_EQ(Poll().CoinFlags & 0x08u, 0u);
  // Reported again, seen again.
  unit.coin.events |= 0x08;
  EXPECT_NE(Poll().CoinFlags & 0x08u, 0u);
  EXPECT_EQ(Poll().CoinFlags & 0x08u, 0u);
}

// One poll of the follow-up's state machine, from the board's counter 0 as
// the poll finds it (its remainder by 16 tells a note on its way: 8 or 14;
// 12 and 15 record marks found void), with or without a note held, and with
// or without the note's settle acknowledged and not yet reported.
struct FollowUpStep {
  const char *name;
  uint32_t counter0;
  bool settlePending;
  uint8_t escrow;
  uint32_t after;  // counter 0 after the poll
  uint8_t pendingAfter;
  int settles;   // settle frames sent
  bool takenIn;  // inhibit and the wait for the stopped unit
  int applies;   // acceptance limit re-applied by the follow-up
};

class FollowUpSteps : public QueryExport,
                      public ::testing::WithParamInterface<FollowUpStep> {};

TEST_P(FollowUpSteps, AdvanceOneStepPerPoll) {
  const FollowUpStep &s = GetParam();
  Accepting(5000, 3);
  for (int i = 0; i < s.escrow; ++i) unit.InsertNote();
  unit.counter0 = s.counter0;
  if (s.settlePending) Unit.BillPending |= 0x01;
  TavoData live = Poll();
  EXPECT_EQ(unit.counter0, s.after);
  EXPECT_EQ(Unit.BillPending, s.pendingAfter);
  EXPECT_EQ(live.BillStacked, NotesCounted(s.after));
  EXPECT_EQ(Count(BillCtrl(0x20)), s.takenIn ? 1 : 0);
  EXPECT_EQ(Count(BillCtrl(0x02)), s.settles);
  // One board poll for the query's refresh, one for its own limit, one for
  // the wait of a take-in and one reading the mark back, one for each
  // re-application by the follow-up (which reads a completed count back).
  EXPECT_EQ(Count(kBoardPoll), 2 + (s.takenIn ? 2 : 0) + s.applies);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FollowUpSteps,
    ::testing::Values(
        FollowUpStep{"HeldNoteMarkedThenSettled", 0, false, 1, 8, 0x0D, 1, true,
                     0},
        FollowUpStep{"NothingHeld", 0, false, 0, 0, 0x00, 0, false, 0},
        FollowUpStep{"SettleAwaited", 8, true, 1, 8, 0x0D, 0, false, 0},
        FollowUpStep{"SettleSentAgain", 8, false, 1, 8, 0x0D, 1, false, 0},
        FollowUpStep{"LeftTheEscrowCompleted", 8, false, 0, 16, 0x00, 0, false,
                     1},
        FollowUpStep{"CompletedBeforeTheSettleReport", 8, true, 0, 16, 0x01, 0,
                     false, 1},
        FollowUpStep{"SecondNoteCompleted", 24, false, 0, 32, 0x00, 0, false,
                     1},
        FollowUpStep{"MarkedAfterAVoidMark", 12, false, 1, 14, 0x0D, 1, true,
                     0},
        FollowUpStep{"CompletedAfterAVoidMark", 14, false, 0, 16, 0x00, 0,
                     false, 1},
        FollowUpStep{"TwoVoidMarksKeepTheNoteHeld", 15, false, 1, 15, 0x00, 0,
                     false, 0}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(QueryExport, HeldNoteIsTakenInOverTwoPolls) {
  Accepting(5000, 3);
  unit.InsertNote();
  Poll();
  // The note is marked on the board (and read back) before the settle.
  EXPECT_EQ(Commands(),
            std::vector<Bytes>({BillCtrl(0x20), kNoteMarked, BillCtrl(0x02)}));
  EXPECT_EQ(Unit.BillPending, 0x0D);
  EXPECT_EQ(Board().Credit, 1000);
  Forget();
  // The unit reports the settle and the empty escrow: the note's count is
  // completed and only then are the notes enabled again, the credit being
  // below the limit. Enabled before the count, a second note could take the
  // escrow before a poll saw it empty, and the first would never be counted.
  TavoData live = Poll();
  live = Poll();
  EXPECT_EQ(Unit.BillPending, 0);
  EXPECT_EQ(live.BillStacked, 1);
  EXPECT_EQ(live.BillEscrow, 0);
  EXPECT_EQ(Commands(), std::vector<Bytes>({kNoteCounted, BillCtrl(0x21)}));
  EXPECT_EQ(unit.counter0, 16u);
  EXPECT_EQ(Board().Credit, 1000);
}

struct NoTakeIn {
  const char *name;
  std::function<void(sale::UnitModel &)> beforeOpen;
  uint16_t limit;
  uint8_t notes;
  std::function<void(sale::UnitModel &)> insert;
};

class HeldNoteStays : public QueryExport,
                      public ::testing::WithParamInterface<NoTakeIn> {};

TEST_P(HeldNoteStays, WhenAConditionIsNotMet) {
  const NoTakeIn &c = GetParam();
  c.beforeOpen(unit);
  Accepting(c.limit, c.notes);
  c.insert(unit);
  for (int i = 0; i < 3; ++i) Poll();
  EXPECT_EQ(Count(BillCtrl(0x02)), 0);
  EXPECT_EQ(Count(kNoteCounted), 0);
  EXPECT_EQ(Unit.BillPending, 0);
  EXPECT_EQ(Unit.LiveRecord.BillStacked, 0);
}

void Nothing(sale::UnitModel &) {}
void OneNote(sale::UnitModel &u) { u.InsertNote(); }

INSTANTIATE_TEST_SUITE_P(
    FollowUp, HeldNoteStays,
    ::testing::Values(
        NoTakeIn{"FirstIdByteZero", [](auto &u) { u.bill.id[0] = 0; }, 5000, 3,
                 OneNote},
        NoTakeIn{"SecondIdByteZero", [](auto &u) { u.bill.id[1] = 0; }, 5000, 3,
                 OneNote},
        NoTakeIn{"NoteLimitOne", Nothing, 5000, 1, OneNote},
        NoTakeIn{"NoteLimitNineIsOne", Nothing, 5000, 9, OneNote},
        NoTakeIn{"CreditReachesTheLimit", Nothing, 1000, 3, OneNote},
        NoTakeIn{"TwoNotesHeld", Nothing, 5000, 3,
                 [](auto &u) {
                   u.InsertNote();
                   u.InsertNote();
                 }},
        NoTakeIn{"NoteNotReportedHeld", Nothing, 5000, 3,
                 [](auto &u) { u.bill.escrow = 1; }},
        NoTakeIn{"TooFewFiveHundreds", Nothing, 5000, 3,
                 [](auto &u) {
                   u.coin.stock[3] = 2;
                   u.InsertCoins(500, 1);
                   u.InsertNote();
                 }}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(QueryExport, OneIdByteStillLetsTheNoteUnitBeCommanded) {
  unit.bill.id[1] = 0;
  ASSERT_NO_FATAL_FAILURE(OpenTrade());
  ASSERT_EQ(TAVO_AcceptEx(handle, 5000, 3), 0u);
  EXPECT_EQ(Count(BillCtrl(0x21)), 1);
}

TEST_F(QueryExport, NothingHappensWhileACoinCommandIsPending) {
  Accepting(5000, 3);
  unit.InsertNote();
  Unit.CoinPending = 0x02;
  Poll();
  Poll();
  EXPECT_EQ(Count(BillCtrl(0x20)), 0);
  EXPECT_EQ(Unit.BillPending, 0);
  Unit.CoinPending = 0;
  Poll();
  EXPECT_EQ(Unit.BillPending, 0x0D);
}

TEST_F(QueryExport, NoteLimitThreeTakesTwoNotesAndHoldsTheThird) {
  Accepting(10000, 3, 10);
  for (int note = 1; note <= 3; ++note) {
    SCOPED_TRACE(note);
    unit.InsertNote();
    PollUntilSettled();
  }
  EXPECT_EQ(Count(BillCtrl(0x02)), 2);
  EXPECT_EQ(Count(kNoteCounted), 4);  // two steps for each
  EXPECT_EQ(unit.counter0, 32u);
  EXPECT_EQ(Unit.LiveRecord.BillStacked, 2);
  EXPECT_EQ(Unit.LiveRecord.BillEscrow, 1);
  EXPECT_EQ(Board().Credit, 3000);
}

TEST_F(QueryExport, FiveHundredCoinReserveCountsTakenInNotesTwice) {
  // 500-coins in stock, less those the customer inserted, less two for each
  // note taken in, must leave two: 5 - 1 - 2 = 2 takes the second note in,
  // 4 - 1 - 2 = 1 holds it.
  for (uint8_t stock : {uint8_t{5}, uint8_t{4}}) {
    SCOPED_TRACE(stock);
    Restart();
    Accepting(10000, 3, stock);
    unit.InsertCoins(500, 1);
    unit.InsertNote();
    PollUntilSettled();
    ASSERT_EQ(Unit.LiveRecord.BillStacked, 1);
    unit.InsertNote();
    PollUntilSettled();
    EXPECT_EQ(Unit.LiveRecord.BillStacked, stock == 5 ? 2 : 1);
    EXPECT_EQ(Count(BillCtrl(0x02)), stock == 5 ? 2 : 1);
  }
}

TEST_F(QueryExport, WaitForTheStoppedNoteUnitCountsItsPauses) {
  struct Case {
    int stopAfter;  // reports after the inhibit until stopped; -1 never
    uint32_t code;
    int sleeps;
  };
  for (const Case &c : {Case{0, 0, 0}, Case{3, 0, 2}, Case{10, 0, 9},
                        Case{11, 0x0853, 10}, Case{-1, 0x0853, 10}}) {
    SCOPED_TRACE(c.stopAfter);
    Restart();
    Accepting(5000, 3);
    unit.bill.stopAfter = c.stopAfter;
    unit.InsertNote();
    Forget();
    TavoData live{};
    EXPECT_EQ(TAVO_GetTAVOData(handle, &live), c.code);
    EXPECT_EQ(clock.sleeps, c.sleeps);
    EXPECT_EQ(clock.sleptMs, 100u * static_cast<uint32_t>(c.sleeps));
    int waitPolls = c.code == 0 ? c.sleeps + 1 : 10;
    int markReadBack = c.code == 0 ? 1 : 0;
    EXPECT_EQ(Count(kBoardPoll), 2 + waitPolls + markReadBack);
    EXPECT_EQ(Count(BillCtrl(0x02)), c.code == 0 ? 1 : 0);
    EXPECT_EQ(Unit.BillPending, c.code == 0 ? 0x0D : 0x00);
  }
}

TEST_F(QueryExport, PayoutBitAlsoEndsTheNoteWait) {
  Accepting(5000, 3);
  unit.bill.stopAfter = -1;
  unit.InsertNote();
  d.onWrite = [&](const Bytes &f) {
    if (f == BillCtrl(0x20)) unit.bill.events |= 0x08;
  };
  Poll();
  EXPECT_EQ(clock.sleeps, 0);
  EXPECT_EQ(Unit.BillPending, 0x0D);
}

TEST_F(QueryExport, FollowUpFailuresBeforeTheSettleStartAgain) {
  struct Case {
    const char *name;
    std::function<void(sale::UnitModel &)> fault;
    uint32_t code;
  };
  const Case cases[] = {
      {"inhibit refused", [](auto &u) { u.Override(BillCtrl(0x20), kNone); },
       0x0864},
      // The wait's refresh is the third of the poll; any failure gives 0x51.
      {"board poll in the wait",
       [](auto &u) { u.Override(kBoardPoll, kNone, 1, 2); }, 0x0851},
      {"coin poll in the wait",
       [](auto &u) { u.Override(kCoinPoll, kNone, 1, 2); }, 0x0851},
      {"note poll in the wait",
       [](auto &u) { u.Override(kBillPoll, kNone, 1, 2); }, 0x0851},
      {"never stopped", [](auto &u) { u.bill.stopAfter = -1; }, 0x0853},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Accepting(5000, 3);
    unit.InsertNote();
    c.fault(unit);
    TavoData live;
    std::memset(&live, 0xAA, sizeof live);
    EXPECT_EQ(TAVO_GetTAVOData(handle, &live), c.code);
    EXPECT_EQ(live.BillEscrow, 0xAA) << "buffer written on failure";
    EXPECT_EQ(Unit.BillPending, 0);
    EXPECT_EQ(Count(BillCtrl(0x02)), 0);
    // The next poll considers the held note afresh and takes it in.
    unit.bill.stopAfter = 0;
    Poll();
    EXPECT_EQ(Unit.BillPending, 0x0D);
    PollUntilSettled();
    EXPECT_EQ(Unit.LiveRecord.BillStacked, 1);
  }
}

// A settle that drew no acknowledgement may or may not have reached the
// note unit. What the unit shows next decides: a note still held gets the
// settle again; a note gone with the stock raised was stacked and is
// counted; a note gone with the stock unchanged went back to the customer
// and is not counted.
TEST_F(QueryExport, UnacknowledgedSettleIsSettledByWhatTheUnitShows) {
  struct Case {
    const char *name;
    std::function<void(sale::UnitModel &)> meanwhile;
    int settles;  // settle frames in all
    uint8_t stacked;
  };
  const Case cases[] = {
      {"still held: sent again", [](auto &) {}, 2, 1},
      {"stacked all the same",
       [](auto &u) {
         u.bill.escrow = 0;
         u.bill.stock = static_cast<uint8_t>(u.bill.stock + 1);
         u.bill.s0 = static_cast<uint8_t>(u.bill.s0 & ~0x20);
       },
       1, 1},
      {"taken back by the customer",
       [](auto &u) {
         u.bill.escrow = 0;
         u.bill.s0 = static_cast<uint8_t>(u.bill.s0 & ~0x20);
       },
       1, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Accepting(5000, 3);
    unit.InsertNote();
    unit.Override(BillCtrl(0x02), kNone);
    TavoData live{};
    EXPECT_EQ(TAVO_GetTAVOData(handle, &live), 0x0865u);
    EXPECT_EQ(Unit.BillPending, 0x0C);
    c.meanwhile(unit);
    PollUntilSettled();
    EXPECT_EQ(Count(BillCtrl(0x02)), c.settles);
    // The mark, then its completion for a stacked note, or the void step
    // for a note taken back: the board's count says which for good.
    EXPECT_EQ(Count(kNoteCounted), c.stacked ? 2 : 1);
    EXPECT_EQ(Count(Counter(0x00, 0x04)), c.stacked ? 0 : 1);
    EXPECT_EQ(unit.counter0, c.stacked ? 16u : 12u);
    EXPECT_EQ(Unit.LiveRecord.BillStacked, c.stacked);
    EXPECT_EQ(Board().Credit, 1000u * c.stacked);
    // Nothing blocks the trade any more.
    EXPECT_EQ(TAVO_AcceptEx(handle, 5000, 3), 0u);
  }
}

TEST_F(QueryExport, RefusedNoteCountIsRepeatedByTheNextPoll) {
  Accepting(5000, 3);
  unit.InsertNote();
  Poll();
  ASSERT_EQ(Unit.BillPending, 0x0D);
  unit.Override(kNoteCounted, kNone);
  TavoData live{};
  EXPECT_EQ(TAVO_GetTAVOData(handle, &live), 0x0878u);
  EXPECT_EQ(Unit.LiveRecord.BillStacked, 0);
  EXPECT_EQ(Unit.BillPending & 0x08, 0x08);
  Forget();
  live = Poll();
  EXPECT_EQ(live.BillStacked, 1);
  EXPECT_EQ(Unit.BillPending, 0);
  EXPECT_EQ(Count(kNoteCounted), 1);
}

TEST_F(QueryExport, FailedLimitSkipsTheFollowUpAndTheCopy) {
  Accepting(5000, 3);
  unit.InsertNote();
  unit.coin.status = static_cast<uint8_t>(unit.coin.status & ~0x01);
  unit.Override(CoinCtrl(0x01), kNone);
  TavoData live;
  std::memset(&live, 0xAA, sizeof live);
  EXPECT_EQ(TAVO_GetTAVOData(handle, &live), 0x1261u);
  EXPECT_EQ(live.BillEscrow, 0xAA);
  EXPECT_EQ(Count(BillCtrl(0x20)), 0);
  EXPECT_EQ(Unit.BillPending, 0);
}

}  // namespace
