// The item decoders: how a list is walked, what each tag writes into the
// records, the pending bytes and the latched coin bit, and a robustness run
// of random lists that must never read past the data.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fake_d2xx.h"
#include "library_state.h"
#include "state/state.h"

namespace {

using fake::Bytes;
using fake::Concat;
using fake::Item;

// The list in a heap block of exactly its size, so that AddressSanitizer
// reports a read of even one byte past the received data.
class ExactBuffer {
 public:
  explicit ExactBuffer(const Bytes &bytes)
      : size_(bytes.size()), data_(new uint8_t[bytes.size()]) {
    if (!bytes.empty()) std::memcpy(data_.get(), bytes.data(), bytes.size());
  }
  uint32_t size() const { return static_cast<uint32_t>(size_); }
  const uint8_t *data() const { return data_.get(); }

 private:
  size_t size_;
  std::unique_ptr<uint8_t[]> data_;
};

void DecodeCoin(TavoData *record, const Bytes &list) {
  ExactBuffer b(list);
  DecodeCoinItems(record, b.size(), b.data());
}
void DecodeBill(TavoData *record, const Bytes &list) {
  ExactBuffer b(list);
  DecodeBillItems(record, b.size(), b.data());
}
void DecodeBoard(PcbData *record, const Bytes &list) {
  ExactBuffer b(list);
  DecodeBoardItems(record, b.size(), b.data());
}

Bytes RecordBytes(const TavoData &r) {
  const auto *p = reinterpret_cast<const uint8_t *>(&r);
  return Bytes(p, p + sizeof r);
}
Bytes RecordBytes(const PcbData &r) {
  const auto *p = reinterpret_cast<const uint8_t *>(&r);
  return Bytes(p, p + sizeof r);
}

using RecordsTest = fake::LibraryTest;

// ------------------------------------------------------------ BCD

TEST_F(RecordsTest, FromBcdTakesTwoDigitsWithoutRejectingLargeNibbles) {
  struct Case {
    uint8_t bcd;
    uint8_t value;
  };
  const Case cases[] = {{0x00, 0},   {0x09, 9},   {0x10, 10},
                        {0x45, 45},  {0x99, 99},  {0x0A, 10},
                        {0xA0, 100}, {0xAB, 111}, {0xFF, 165}};
  for (const Case &c : cases) {
    EXPECT_EQ(FromBcd(c.bcd), c.value) << std::hex << int(c.bcd);
  }
}

// ------------------------------------------------- the money units' items

// The expected records below name only the fields a case sets; the rest
// are zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

struct UnitCase {
  const char *name;
  Bytes list;
  TavoData want;  // starting from an all-zero record, nothing pending
};

const UnitCase kCoinCases[] = {
    {"coins in, BCD",
     Item(0x08, {0x12, 0x00, 0x99, 0x05}),
     {.CoinIn = {12, 0, 99, 5}}},
    {"coins in stock",
     Item(0x09, {0x01, 0x10, 0x45, 0x80}),
     {.CoinStock = {1, 10, 45, 80}}},
    {"coins out",
     Item(0x0A, {0x03, 0x02, 0x01, 0x00}),
     {.CoinOut = {3, 2, 1, 0}}},
    {"nibbles above 9",
     Item(0x08, {0xAB, 0x0F, 0xF0, 0xFF}),
     {.CoinIn = {111, 15, 150, 165}}},
    {"status", Item(0x0B, {0xC7}), {.CoinFlags = 0xC7}},
    {"little-endian aux",
     Item(0x0C, {0x01, 0x02, 0x03}),
     {.CoinAux = 0x030201}},
    {"unit id", Item(0x0D, {0x01, 0x02}), {.CoinUnitId = {0x01, 0x02}}},
    {"a truncated last entry is not decoded",
     Concat({Item(0x0D, {0x01, 0x02}), {0x05, 0x08, 0x11, 0x22, 0x33}}),
     {.CoinUnitId = {0x01, 0x02}}},
    {"second entry reaches one byte beyond",
     Concat({Item(0x0B, {0x04}), {0x03, 0x0D, 0x01}}),
     {.CoinFlags = 0x04}},
    {"a lone length byte", {0x04}, {}},
    {"unknown tags skipped by their length",
     Concat({Item(0x7F, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE}),
             Item(0x0D, {0x05, 0x06})}),
     {.CoinUnitId = {0x05, 0x06}}},
    {"note-unit tags skipped",
     Concat({Item(0x18, {0x99}), Item(0x1D, {0x03, 0x04}),
             Item(0x1B, {0x3F, 0x01, 0x02})}),
     {}},
    {"a later item overwrites an earlier one",
     Concat({Item(0x0D, {0x01, 0x02}), Item(0x08, {0x01, 0x01, 0x01, 0x01}),
             Item(0x0D, {0x07, 0x08})}),
     {.CoinIn = {1, 1, 1, 1}, .CoinUnitId = {0x07, 0x08}}},
    {"entries with L = 0 are stepped over",
     Concat({{0x00},
             Item(0x0D, {0x01, 0x02}),
             {0x00, 0x00},
             Item(0x0B, {0x01}),
             {0x00}}),
     {.CoinFlags = 0x01, .CoinUnitId = {0x01, 0x02}}},
    {"a value is taken at its fixed size, whatever L says",
     Concat({{0x01, 0x0D}, Item(0x0B, {0x30})}),
     {.CoinFlags = 0x30, .CoinUnitId = {0x02, 0x0B}}},
    {"a long entry's extra bytes are skipped",
     Concat({{0x05, 0x0D, 0x01, 0x02, 0xFF, 0xFF}, Item(0x0B, {0x04})}),
     {.CoinFlags = 0x04, .CoinUnitId = {0x01, 0x02}}},
    {"a value that would run past the data is skipped",
     Concat({Item(0x0D, {0x01, 0x02}), {0x02, 0x08, 0x12}}),
     {.CoinUnitId = {0x01, 0x02}}},
    {"a tag alone at the end is skipped",
     Concat({Item(0x0B, {0x01}), {0x01, 0x0C}}),
     {.CoinFlags = 0x01}},
    {"an empty list", {}, {}},
};

#pragma GCC diagnostic pop

TEST_F(RecordsTest, DecodesCoinItems) {
  for (const UnitCase &c : kCoinCases) {
    SCOPED_TRACE(c.name);
    fake::ResetLibrary();
    TavoData record{};
    DecodeCoin(&record, c.list);
    EXPECT_EQ(RecordBytes(record), RecordBytes(c.want));
  }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const UnitCase kBillCases[] = {
    {"notes in escrow", Item(0x18, {0x01}), {.BillEscrow = 1}},
    {"notes in stock", Item(0x19, {0x45}), {.BillStock = 45}},
    {"notes out", Item(0x1A, {0xAB}), {.BillOut = 111}},
    {"status", Item(0x1B, {0x18, 0x02, 0x00}), {.BillFlags = 0x00000218}},
    {"little-endian aux", Item(0x1C, {0x34, 0x12}), {.BillAux = 0x1234}},
    {"unit id", Item(0x1D, {0x03, 0x04}), {.BillUnitId = {0x03, 0x04}}},
    {"coin-unit tags skipped",
     Concat({Item(0x08, {0x12, 0x00, 0x99, 0x05}), Item(0x0D, {0x01, 0x02}),
             Item(0x0B, {0x01})}),
     {}},
    {"a later item overwrites an earlier one",
     Concat({Item(0x19, {0x10}), Item(0x19, {0x20})}),
     {.BillStock = 20}},
    {"a truncated last entry is not decoded",
     Concat({Item(0x18, {0x02}), {0x04, 0x1B, 0x01, 0x02}}),
     {.BillEscrow = 2}},
    {"a value that would run past the data is skipped",
     Concat({Item(0x18, {0x02}), {0x02, 0x1C, 0x34}}),
     {.BillEscrow = 2}},
    {"a status that would run past the data is skipped",
     Concat({Item(0x19, {0x03}), {0x02, 0x1B, 0x18}}),
     {.BillStock = 3}},
    {"entries with L = 0 are stepped over",
     Concat({{0x00, 0x00}, Item(0x1A, {0x07}), {0x00}}),
     {.BillOut = 7}},
};

#pragma GCC diagnostic pop

TEST_F(RecordsTest, DecodesNoteItems) {
  for (const UnitCase &c : kBillCases) {
    SCOPED_TRACE(c.name);
    fake::ResetLibrary();
    TavoData record{};
    DecodeBill(&record, c.list);
    EXPECT_EQ(RecordBytes(record), RecordBytes(c.want));
  }
}

TEST_F(RecordsTest, NoDecoderCountsTheNotesTakenIn) {
  TavoData record{};
  record.BillStacked = 7;
  const Bytes everything =
      Concat({Item(0x18, {0x01}), Item(0x19, {0x02}), Item(0x1A, {0x03}),
              Item(0x1B, {0x3F, 0xFF, 0xFF}), Item(0x1C, {0xFF, 0xFF}),
              Item(0x1D, {0x01, 0x01})});
  DecodeBill(&record, everything);
  DecodeCoin(&record, everything);
  EXPECT_EQ(record.BillStacked, 7);
}

// ------------------------------------------------------------ the board

Bytes Counting(size_t n, uint8_t first) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

TEST_F(RecordsTest, DecodesBoardItems) {
  PcbData record{};
  Bytes meters(60, 0);
  meters[2] = 0x01;  // Meters[0] = 256
  meters[32] = 0x00, meters[33] = 0x00, meters[34] = 0x05, meters[35] = 0xDC;
  meters[56] = 0x12, meters[57] = 0x34, meters[58] = 0x56, meters[59] = 0x78;
  DecodeBoard(&record,
              Concat({Item(0x79, {0x01, 0x02, 0x03}), Item(0x7A, meters),
                      Item(0x7B, Counting(14, 0x41))}));
  EXPECT_EQ(record.BoardAux, 0x010203u);
  EXPECT_EQ(record.Meters[0], 256u);
  EXPECT_EQ(record.Meters[8], 1500u);
  EXPECT_EQ(record.Meters[14], 0x12345678u);
  for (int i : {1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13})
    EXPECT_EQ(record.Meters[i], 0u);
  EXPECT_EQ(Bytes(record.BoardBlockA, record.BoardBlockA + 7),
            Counting(7, 0x41));
  EXPECT_EQ(Bytes(record.BoardBlockB, record.BoardBlockB + 7),
            Counting(7, 0x48));
}

TEST_F(RecordsTest, BoardTextAlwaysEndsWithAZeroAtOffset143) {
  PcbData record{};
  std::memset(record.BoardText, 0xFF, sizeof record.BoardText);
  DecodeBoard(&record, Item(0x7D, Bytes(127, 'A')));
  const auto *bytes = reinterpret_cast<const uint8_t *>(&record);
  EXPECT_EQ(Bytes(bytes + 16, bytes + 143), Bytes(127, 'A'));
  EXPECT_EQ(bytes[143], 0);
}

TEST_F(RecordsTest, BoardSkipsWhatItDoesNotKnowAndWhatRunsPastTheData) {
  struct Case {
    const char *name;
    Bytes list;
  };
  const Case cases[] = {
      {"tag 0x7C", Item(0x7C, {0x01, 0x02, 0x03})},
      {"coin and note tags",
       Concat({Item(0x0D, {0x01, 0x02}), Item(0x18, {0x01})})},
      {"meters one byte short", Item(0x7A, Bytes(59, 0x11))},
      {"block one byte short", Item(0x7B, Bytes(13, 0x11))},
      {"text one byte short", Item(0x7D, Bytes(126, 'B'))},
      {"aux cut by the end of the data", {0x04, 0x79, 0x01, 0x02}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PcbData record{};
    DecodeBoard(&record, c.list);
    EXPECT_EQ(RecordBytes(record), RecordBytes(PcbData{}));
  }
}

TEST_F(RecordsTest, BoardItemsNeverReachTheTradeFields) {
  PcbData record{};
  std::memset(record.SerialNo, 'S', sizeof record.SerialNo);
  record.TradeId = 0xA1B2C3D4;
  record.AcceptLimit = 0x1357;
  record.Credit = 0x2468;
  const PcbData before = record;
  DecodeBoard(
      &record,
      Concat({Item(0x79, {0xFF, 0xFF, 0xFF}), Item(0x7A, Bytes(60, 0xFF)),
              Item(0x7B, Bytes(14, 0xFF)), Item(0x7D, Bytes(127, 0xFF))}));
  EXPECT_EQ(Bytes(record.SerialNo, record.SerialNo + 16),
            Bytes(before.SerialNo, before.SerialNo + 16));
  EXPECT_EQ(record.TradeId, 0xA1B2C3D4u);
  EXPECT_EQ(record.AcceptLimit, 0x1357);
  EXPECT_EQ(record.Credit, 0x2468);
  EXPECT_EQ(record.Reserved[0], 0);
  EXPECT_EQ(record.Reserved[1], 0);
  EXPECT_EQ(record.BoardAux, 0x00FFFFFFu);
}

// ------------------------------------------ pending bytes and the latch

struct CoinStatusCase {
  uint8_t status;
  uint8_t pendingBefore;
  uint32_t flagsBefore;
  uint8_t pendingAfter;
  uint32_t flags;
};

const CoinStatusCase kCoinStatusCases[] = {
    {0x30, 0x03, 0x08, 0x00, 0x00000038},  // both reports, latch held
    {0x01, 0x02, 0x00, 0x02, 0x02000001},  // nothing reported
    {0x20, 0x03, 0x00, 0x02, 0x02000020},  // settle reported
    {0x10, 0x03, 0x00, 0x01, 0x01000010},  // payout reported
    {0x00, 0x00, 0x08, 0x00, 0x00000008},  // the latch survives a clear byte
    {0x00, 0x00, 0xF7, 0x00, 0x00000000},  // no other bit survives
    {0x08, 0x00, 0x00, 0x00, 0x00000008},
    {0x04, 0x01, 0x03000008, 0x01, 0x0100000C},  // the old top byte is gone
    {0xC6, 0x00, 0x00, 0x00, 0x000000C6},        // other bits pass through
};

TEST_F(RecordsTest, CoinStatusClearsPendingBitsAndHoldsTheLatch) {
  for (const CoinStatusCase &c : kCoinStatusCases) {
    SCOPED_TRACE(testing::Message()
                 << std::hex << "status 0x" << int(c.status) << ", pending 0x"
                 << int(c.pendingBefore) << ", flags 0x" << c.flagsBefore);
    fake::ResetLibrary();
    Unit.CoinPending = c.pendingBefore;
    Unit.BillPending = 0x0F;
    TavoData record{};
    record.CoinFlags = c.flagsBefore;
    DecodeCoin(&record, Item(0x0B, {c.status}));
    EXPECT_EQ(Unit.CoinPending, c.pendingAfter);
    EXPECT_EQ(record.CoinFlags, c.flags);
    EXPECT_EQ(Unit.BillPending, 0x0F);
  }
}

TEST_F(RecordsTest, TheLatchHoldsWithinAListAndAcrossLists) {
  TavoData record{};
  DecodeCoin(&record, Concat({Item(0x0B, {0x08}), Item(0x0B, {0x01})}));
  EXPECT_EQ(record.CoinFlags, 0x09u);
  DecodeCoin(&record, Item(0x0B, {0x00}));
  EXPECT_EQ(record.CoinFlags, 0x08u);
}

TEST_F(RecordsTest, ThePendingBytesAreClearedWhicheverRecordIsWritten) {
  Unit.CoinPending = 0x03;
  Unit.BillPending = 0x03;
  DecodeCoin(&Unit.BackupRecord, Item(0x0B, {0x20}));
  DecodeBill(&Unit.BackupRecord, Item(0x1B, {0x08, 0x00, 0x00}));
  EXPECT_EQ(Unit.CoinPending, 0x02);
  EXPECT_EQ(Unit.BillPending, 0x01);
  EXPECT_EQ(Unit.BackupRecord.CoinFlags, 0x02000020u);
  EXPECT_EQ(Unit.BackupRecord.BillFlags, 0x01000008u);
  EXPECT_EQ(RecordBytes(Unit.LiveRecord), RecordBytes(TavoData{}));
}

struct BillStatusCase {
  Bytes status;
  uint8_t pendingBefore;
  uint32_t flagsBefore;
  uint8_t pendingAfter;
  uint32_t flags;
};

const BillStatusCase kBillStatusCases[] = {
    {{0x18, 0x02, 0x00}, 0x0F, 0x00, 0x0C, 0x0C000218},  // recheck, count stay
    {{0x10, 0x00, 0x00}, 0x03, 0x00, 0x02, 0x02000010},  // settle reported
    {{0x08, 0x00, 0x00}, 0x03, 0x00, 0x01, 0x01000008},  // payout reported
    {{0x20, 0xFF, 0x7F},
     0x00,
     0xFFFFFFFF,
     0x00,
     0x007FFF20},  // nothing latched
    {{0x00, 0x00, 0x00}, 0x04, 0x00000020, 0x04, 0x04000000},
};

TEST_F(RecordsTest, NoteStatusClearsPendingBitsAndForgetsThePast) {
  for (const BillStatusCase &c : kBillStatusCases) {
    SCOPED_TRACE(testing::Message()
                 << std::hex << "pending 0x" << int(c.pendingBefore)
                 << ", flags 0x" << c.flagsBefore);
    fake::ResetLibrary();
    Unit.BillPending = c.pendingBefore;
    Unit.CoinPending = 0x03;
    TavoData record{};
    record.BillFlags = c.flagsBefore;
    DecodeBill(&record, Item(0x1B, c.status));
    EXPECT_EQ(Unit.BillPending, c.pendingAfter);
    EXPECT_EQ(record.BillFlags, c.flags);
    EXPECT_EQ(Unit.CoinPending, 0x03);
  }
}

// ------------------------------------------------------------ robustness

// Random lists, mostly of the tags the decoders know, with length bytes that
// are often wrong, fed to all three decoders from exact-size heap blocks.
// Under AddressSanitizer any read past the data fails the run; in any build
// the fields that no item reaches must keep their values.
TEST_F(RecordsTest, RandomListsNeverReadPastTheData) {
  std::mt19937 random(20261207);
  const uint8_t tags[] = {0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x18, 0x19, 0x1A,
                          0x1B, 0x1C, 0x1D, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x00};
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  for (int iteration = 0; iteration < 4000; ++iteration) {
    Bytes list;
    uint32_t size = pick(257);
    while (list.size() < size) {
      uint32_t shape = pick(4);
      if (shape == 0) {  // raw noise
        list.push_back(static_cast<uint8_t>(random()));
        continue;
      }
      uint8_t tag = tags[pick(sizeof tags)];
      uint32_t value = shape == 1 ? pick(4) : pick(shape == 2 ? 16 : 130);
      list.push_back(static_cast<uint8_t>(shape == 3 ? pick(256) : value + 1));
      list.push_back(tag);
      for (uint32_t i = 0; i < value; ++i)
        list.push_back(static_cast<uint8_t>(random()));
    }
    list.resize(size);

    TavoData unit{};
    unit.BillStacked = 0x5A;
    PcbData board{};
    board.TradeId = 0xCAFEF00D;
    board.AcceptLimit = 0x1111;
    board.Credit = 0x2222;
    Unit.CoinPending = static_cast<uint8_t>(random());
    Unit.BillPending = static_cast<uint8_t>(random());
    DecodeCoin(&unit, list);
    DecodeBill(&unit, list);
    DecodeBoard(&board, list);

    ASSERT_EQ(unit.BillStacked, 0x5A) << iteration;
    ASSERT_EQ(unit.CoinAux >> 24, 0u) << iteration;
    ASSERT_EQ(unit.BillAux >> 16, 0u) << iteration;
    ASSERT_EQ(unit.CoinFlags & 0x00FFFF00u, 0u) << iteration;
    ASSERT_EQ(board.BoardAux >> 24, 0u) << iteration;
    ASSERT_EQ(board.TradeId, 0xCAFEF00Du) << iteration;
    ASSERT_EQ(board.AcceptLimit, 0x1111) << iteration;
    ASSERT_EQ(board.Credit, 0x2222) << iteration;
    ASSERT_EQ(board.Reserved[0] | board.Reserved[1], 0) << iteration;
    ASSERT_EQ(board.BoardText[127], 0) << iteration;
  }
}

}  // namespace
