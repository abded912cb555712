// The six status exchanges, the two refresh routines built from them and the
// customer's credit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_d2xx.h"
#include "library_state.h"
#include "link/link.h"
#include "state/state.h"
#include "unit_script.h"

namespace {

using fake::Body;
using fake::Bytes;
using fake::Concat;
using fake::D2xx;
using fake::Item;
using fake::Status;

using RefreshTest = fake::PortTest;

// ------------------------------------------------------------ exchanges

// What each exchange decodes, and a field that shows whether it did.
enum class Target { Board, Coin, Bill };

struct Exchange {
  const char *name;
  int (*run)();
  uint8_t command;
  Target target;
};

const Exchange kExchanges[] = {
    {"ReadBoard", ReadBoard, 0xF1, Target::Board},
    {"PollBoard", PollBoard, 0xF2, Target::Board},
    {"ReadCoin", ReadCoin, 0x61, Target::Coin},
    {"PollCoin", PollCoin, 0x62, Target::Coin},
    {"ReadBill", ReadBill, 0x59, Target::Bill},
    {"PollBill", PollBill, 0x5A, Target::Bill},
};

// One item per target: the board's aux value, the coin unit's and the note
// unit's aux value.
Bytes ItemFor(Target t) {
  switch (t) {
    case Target::Board:
      return Item(0x79, {0x0A, 0x0B, 0x0C});
    case Target::Coin:
      return Item(0x0C, {0x0C, 0x0B, 0x0A});
    case Target::Bill:
      return Item(0x1C, {0x0B, 0x0A});
  }
  return {};
}

bool Decoded(Target t) {
  switch (t) {
    case Target::Board:
      return Unit.PcbRecord.BoardAux == 0x0A0B0C;
    case Target::Coin:
      return Unit.LiveRecord.CoinAux == 0x0A0B0C;
    case Target::Bill:
      return Unit.LiveRecord.BillAux == 0x0A0B;
  }
  return false;
}

enum class Shape {
  AckOnly,
  AckList,
  ItemBody,
  ListBody,
  ListBadCheck,
  None,
  Reset,
  Zero,
  Silence
};

Bytes ReplyOf(Shape shape, Target t) {
  Bytes item = ItemFor(t);
  switch (shape) {
    case Shape::AckOnly:
      return Status(0x11);
    case Shape::AckList:
      return Body(0x11, item);
    // A single item goes without its length byte.
    case Shape::ItemBody:
      return Body(0x22, Bytes(item.begin() + 1, item.end()));
    case Shape::ListBody:
      return Body(0x33, item);
    case Shape::ListBadCheck: {
      Bytes b = Body(0x33, item);
      b.back() ^= 0x01;
      return b;
    }
    case Shape::None:
      return Status(0xEE);
    case Shape::Reset:
      return Status(0xBB);
    case Shape::Zero:
      return Status(0x00);
    case Shape::Silence:
      return {};
  }
  return {};
}

struct Outcome {
  Shape shape;
  int result;
  bool decoded;
};

struct ExchangeCase {
  std::vector<const char *> exchanges;
  std::vector<Outcome> outcomes;
};

// For the reads StAck carries a list and StItem is a one-byte reply; for
// the polls it is the other way round.
const ExchangeCase kExchangeCases[] = {
    {{"ReadBoard", "ReadCoin", "ReadBill"},
     {{Shape::AckList, 0, true},
      {Shape::ListBody, 0, true},
      {Shape::ItemBody, -1, false},
      {Shape::ListBadCheck, -1, false},
      {Shape::None, -1, false},
      {Shape::Reset, -1, false},
      {Shape::Zero, -1, false},
      {Shape::Silence, -1, false}}},
    {{"PollBoard"},
     {{Shape::ListBody, 0, true},
      {Shape::AckOnly, -1, false},
      {Shape::ItemBody, -1, false},
      {Shape::ListBadCheck, -1, false},
      {Shape::None, -1, false},
      {Shape::Reset, -1, false},
      {Shape::Silence, -1, false}}},
    {{"PollCoin", "PollBill"},
     {{Shape::AckOnly, 0, false},  // nothing new
      {Shape::ItemBody, 0, true},
      {Shape::ListBody, 0, true},
      {Shape::ListBadCheck, -1, false},
      {Shape::None, -1, false},
      {Shape::Reset, -1, false},
      {Shape::Zero, -1, false},
      {Shape::Silence, -1, false}}},
};

TEST_F(RefreshTest, EachExchangeDecodesOnlyTheStatusesItAccepts) {
  for (const ExchangeCase &c : kExchangeCases) {
    for (const char *name : c.exchanges) {
      const Exchange *e = nullptr;
      for (const Exchange &x : kExchanges) {
        if (std::string(x.name) == name) e = &x;
      }
      ASSERT_NE(e, nullptr);
      for (const Outcome &o : c.outcomes) {
        SCOPED_TRACE(testing::Message()
                     << name << ", reply shape " << int(o.shape));
        Fresh();
        d.Queue(e->command, ReplyOf(o.shape, e->target));
        EXPECT_EQ(e->run(), o.result);
        EXPECT_EQ(Decoded(e->target), o.decoded);
        ASSERT_EQ(d.frames.size(), 1u);
        EXPECT_EQ(d.frames[0],
                  (Bytes{e->command, static_cast<uint8_t>(~e->command)}));
      }
    }
  }
}

TEST_F(RefreshTest, ADriverFailureFailsTheExchange) {
  for (const Exchange &e : kExchanges) {
    SCOPED_TRACE(e.name);
    Fresh();
    d.Standing(e.command, ReplyOf(Shape::ListBody, e.target));
    d.FailNth(fake::Fn::Read, 2, FT_IO_ERROR);
    EXPECT_EQ(e.run(), -1);
    EXPECT_FALSE(Decoded(e.target));
  }
}

// ------------------------------------------------------------ refreshes

void FitCoin(uint8_t first, uint8_t second) {
  Unit.LiveRecord.CoinUnitId[0] = first;
  Unit.LiveRecord.CoinUnitId[1] = second;
}
void FitBill(uint8_t first, uint8_t second) {
  Unit.LiveRecord.BillUnitId[0] = first;
  Unit.LiveRecord.BillUnitId[1] = second;
}

struct OrderCase {
  const char *name;
  int (*refresh)();
  bool coin;
  bool bill;
  std::vector<Bytes> frames;
};

const Bytes kBillRead = {0x59, 0xA6}, kCoinRead = {0x61, 0x9E};
const Bytes kBillPoll = {0x5A, 0xA5}, kCoinPoll = {0x62, 0x9D};
const Bytes kBoardPoll = {0xF2, 0x0D};

const OrderCase kOrderCases[] = {
    {"reload, coin only", ReloadStatus, true, false, {kCoinRead, kBoardPoll}},
    {"reload, note only", ReloadStatus, false, true, {kBillRead, kBoardPoll}},
    {"reload, both",
     ReloadStatus,
     true,
     true,
     {kBillRead, kCoinRead, kBoardPoll}},
    {"reload, neither", ReloadStatus, false, false, {kBoardPoll}},
    {"refresh, both",
     RefreshStatus,
     true,
     true,
     {kBillPoll, kCoinPoll, kBoardPoll}},
    {"refresh, coin only", RefreshStatus, true, false, {kCoinPoll, kBoardPoll}},
    {"refresh, note only", RefreshStatus, false, true, {kBillPoll, kBoardPoll}},
    {"refresh, neither", RefreshStatus, false, false, {kBoardPoll}},
};

TEST_F(RefreshTest, ExchangesWithTheFittedUnitsThenTheBoard) {
  for (const OrderCase &c : kOrderCases) {
    // Either unit-id byte alone makes a unit fitted.
    for (int idByte = 0; idByte < 2; ++idByte) {
      SCOPED_TRACE(testing::Message() << c.name << ", id byte " << idByte);
      Fresh();
      fake::UnitScript{}.Install();
      if (c.coin) FitCoin(idByte == 0 ? 0x01 : 0x00, idByte == 1 ? 0x01 : 0x00);
      if (c.bill) FitBill(idByte == 0 ? 0x01 : 0x00, idByte == 1 ? 0x01 : 0x00);
      EXPECT_EQ(c.refresh(), 0);
      EXPECT_EQ(d.frames, c.frames);
    }
  }
}

TEST_F(RefreshTest, WithNoUnitFittedTheLiveRecordIsLeftAlone) {
  fake::UnitScript{}.Install();
  d.Standing(0xF2, Body(0x33, fake::BoardMeters(0)));
  Unit.LiveRecord.CoinIn[0] =
      0;  // all zero, as after an open without money units
  EXPECT_EQ(RefreshStatus(), 0);
  EXPECT_EQ(ReloadStatus(), 0);
  EXPECT_EQ(Unit.LiveRecord.CoinUnitId[0] | Unit.LiveRecord.BillUnitId[0], 0);
  EXPECT_EQ(Unit.PcbRecord.Credit, 0);
  EXPECT_EQ(d.frames, (std::vector<Bytes>{kBoardPoll, kBoardPoll}));
}

struct FailureSum {
  bool bill, coin, board;
  int result;
};

const FailureSum kFailureSums[] = {
    {false, false, false, 0}, {false, true, false, -1},
    {true, false, false, -2}, {true, true, false, -3},
    {false, false, true, -4}, {false, true, true, -5},
    {true, false, true, -6},  {true, true, true, -7},
};

TEST_F(RefreshTest, ReturnsTheSumOfTheFailedExchanges) {
  struct Routine {
    const char *name;
    int (*refresh)();
    uint8_t bill, coin;
  };
  const Routine routines[] = {{"RefreshStatus", RefreshStatus, 0x5A, 0x62},
                              {"ReloadStatus", ReloadStatus, 0x59, 0x61}};
  for (const Routine &r : routines) {
    for (const FailureSum &c : kFailureSums) {
      SCOPED_TRACE(testing::Message() << r.name << " -> " << c.result);
      Fresh();
      FitCoin(0x01, 0x02);
      FitBill(0x03, 0x04);
      // Every exchange is made whatever the ones before it gave.
      d.Standing(r.bill, c.bill ? Status(0xEE) : Body(0x33, {}));
      d.Standing(r.coin, c.coin ? Status(0xEE) : Body(0x33, {}));
      d.Standing(0xF2, c.board ? Status(0x11) : Body(0x33, {}));
      EXPECT_EQ(r.refresh(), c.result);
      EXPECT_EQ(d.frames.size(), 3u);
    }
  }
}

TEST_F(RefreshTest, AnUnfittedUnitNeverFails) {
  d.Standing(0xF2, Body(0x33, {}));  // the units would not answer at all
  EXPECT_EQ(RefreshStatus(), 0);
  EXPECT_EQ(ReloadStatus(), 0);
}

TEST_F(RefreshTest, CreditIsRecomputedEvenWhenEveryExchangeFails) {
  FitCoin(0x01, 0x02);
  FitBill(0x03, 0x04);
  Unit.LiveRecord.CoinIn[1] = 3;  // 150
  Unit.PcbRecord.Credit = 999;    // stale
  EXPECT_EQ(RefreshStatus(), -7);
  EXPECT_EQ(Unit.PcbRecord.Credit, 150);
}

TEST_F(RefreshTest, APollThatReportsNothingStillRecomputesTheCredit) {
  FitCoin(0x01, 0x02);
  Unit.LiveRecord.CoinIn[2] = 2;  // 200
  Unit.PcbRecord.Credit = 7;
  d.Standing(0x62, Status(0x11));
  d.Standing(0xF2, Body(0x33, {}));
  const TavoData before = Unit.LiveRecord;
  EXPECT_EQ(RefreshStatus(), 0);
  EXPECT_EQ(std::memcmp(&before, &Unit.LiveRecord, sizeof before), 0);
  EXPECT_EQ(Unit.PcbRecord.Credit, 200);
}

// The worked example as the units would report it: coins 3 x 10, 1 x 50,
// 2 x 100, 1 x 500 in, one 100 out, a note in escrow, one note already
// counted, one note out, and 1500 charged.
TEST_F(RefreshTest, TheWorkedExampleThroughAWholeRefresh) {
  FitCoin(0x01, 0x02);
  FitBill(0x03, 0x04);
  d.Standing(0x5A,
             Body(0x33, Concat({Item(0x18, {0x01}), Item(0x1A, {0x01})})));
  d.Standing(0x62, Body(0x33, Concat({Item(0x08, {0x03, 0x01, 0x02, 0x01}),
                                      Item(0x0A, {0x00, 0x00, 0x01, 0x00})})));
  // The note counted is on the board's counter 0, 16 to a note.
  d.Standing(0xF2, Body(0x33, fake::BoardMeters(1500, 16)));
  EXPECT_EQ(RefreshStatus(), 0);
  EXPECT_EQ(Unit.PcbRecord.Meters[8], 1500u);
  EXPECT_EQ(Unit.PcbRecord.Credit, 180);
}

// ------------------------------------------------------------ credit

struct CreditCase {
  const char *name;
  uint8_t coinIn[4];
  uint8_t escrow, stacked;
  uint8_t coinOut[4];
  uint8_t billOut;
  uint32_t charged;
  uint16_t credit;
};

const CreditCase kCreditCases[] = {
    {"worked example: 2780 in, 1100 out, 1500 charged",
     {3, 1, 2, 1},
     1,
     1,
     {0, 0, 1, 0},
     1,
     1500,
     180},
    {"nothing", {0, 0, 0, 0}, 0, 0, {0, 0, 0, 0}, 0, 0, 0},
    {"each coin at its value", {1, 1, 1, 1}, 0, 0, {0, 0, 0, 0}, 0, 0, 660},
    {"notes held and counted at 1000",
     {0, 0, 0, 0},
     2,
     3,
     {0, 0, 0, 0},
     0,
     0,
     5000},
    {"more out than in", {1, 0, 0, 0}, 0, 0, {0, 1, 0, 0}, 0, 0, 0},
    {"more out than in, before the charge",
     {0, 0, 0, 0},
     0,
     0,
     {0, 0, 0, 0},
     1,
     0,
     0},
    {"more charged than the net", {0, 0, 0, 0}, 1, 0, {0, 0, 0, 0}, 0, 1010, 0},
    {"charged equals the net", {0, 0, 5, 0}, 0, 0, {0, 0, 0, 0}, 0, 500, 0},
    {"coins out 1, 2, 3, 4 are 2410",
     {0, 0, 0, 0},
     0,
     0,
     {1, 2, 3, 4},
     0,
     0,
     0},
    {"2500 less 2410", {0, 0, 0, 5}, 0, 0, {1, 2, 3, 4}, 0, 0, 90},
    {"the largest that fits", {3, 0, 0, 1}, 65, 0, {0, 0, 0, 0}, 0, 0, 65530},
    {"66500 is held at 65530, not wrapped to 964",
     {0, 0, 0, 1},
     66,
     0,
     {0, 0, 0, 0},
     0,
     0,
     kCreditHeld},
    {"65540 is held at 65530, not wrapped to 4",
     {4, 0, 0, 1},
     65,
     0,
     {0, 0, 0, 0},
     0,
     0,
     kCreditHeld},
    {"a large credit less the charge",
     {0, 0, 0, 1},
     66,
     0,
     {0, 0, 0, 0},
     0,
     1000,
     65500},
    {"every count at its largest",
     {165, 165, 165, 165},
     165,
     165,
     {0, 0, 0, 0},
     0,
     0,
     kCreditHeld},
    {"a charged meter above 16 bits",
     {0, 0, 0, 0},
     99,
     0,
     {0, 0, 0, 0},
     0,
     0x10000,
     33464},
};

TEST_F(RefreshTest, ComputesTheCredit) {
  for (const CreditCase &c : kCreditCases) {
    SCOPED_TRACE(c.name);
    fake::ResetLibrary();
    for (int k = 0; k < 4; ++k) {
      Unit.LiveRecord.CoinIn[k] = c.coinIn[k];
      Unit.LiveRecord.CoinOut[k] = c.coinOut[k];
      // The stock and the backup record play no part.
      Unit.LiveRecord.CoinStock[k] = 99;
      Unit.BackupRecord.CoinIn[k] = 99;
    }
    Unit.LiveRecord.BillEscrow = c.escrow;
    Unit.LiveRecord.BillStacked = c.stacked;
    Unit.LiveRecord.BillOut = c.billOut;
    Unit.LiveRecord.BillStock = 99;
    Unit.PcbRecord.Meters[8] = c.charged;
    Unit.PcbRecord.Meters[7] = 12345;  // neighbours of the charged meter
    Unit.PcbRecord.Meters[9] = 12345;
    Unit.PcbRecord.Credit = 0x5555;
    ComputeCredit();
    EXPECT_EQ(Unit.PcbRecord.Credit, c.credit);
  }
}

// A note the unit has taken out of its escrow but whose count the note
// follow-up has not yet completed is still the customer's: the credit must
// not dip (nor count it twice) while it moves from BillEscrow to the count
// on the board, and a mark found void (the note taken back) counts nothing.
TEST_F(RefreshTest, ANoteBeingTakenInCountsOnceAllTheWay) {
  struct Step {
    const char *name;
    uint32_t counter0;
    uint8_t escrow;
    uint16_t credit;
  };
  const Step steps[] = {
      {"held in escrow", 0, 1, 1500},
      {"marked, still in escrow", 8, 1, 1500},
      {"escrow empty, not yet completed", 8, 0, 1500},
      {"completed", 16, 0, 1500},
      {"a second note marked, still held", 24, 1, 2500},
      {"a second note on its way", 24, 0, 2500},
      {"the mark was void: the note went back", 12, 0, 500},
      {"marked again after a void mark", 14, 0, 1500},
      {"a count left by the earlier library: one per note", 2, 0, 2500},
  };
  for (const Step &s : steps) {
    SCOPED_TRACE(s.name);
    fake::ResetLibrary();
    Unit.LiveRecord.CoinIn[3] = 1;  // 500 in coins beside the note
    Unit.LiveRecord.BillEscrow = s.escrow;
    Unit.PcbRecord.Meters[4] = s.counter0;
    SyncNotesFromBoard();
    ComputeCredit();
    EXPECT_EQ(Unit.PcbRecord.Credit, s.credit);
  }
}

}  // namespace
