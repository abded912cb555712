// The virtual unit on its own: frames in, replies out, at the D2XX level.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "port.h"
#include "tavovu.h"

namespace {

class Model : public ::testing::Test {
 protected:
  void SetUp() override { vu_reset(); }
  void TearDown() override {
    EXPECT_EQ(VU_OK, vu_check_money(0, nullptr));
    vu_reset();
  }

  // Board started, both units read and enabled, as after a trade's accept.
  void StartAndEnable(Port &port) {
    ASSERT_EQ(Bytes{0x11}, port.Exchange(0xF3, {0x70, 0x01}));
    port.Exchange(0x61);
    port.Exchange(0x59);
    port.Exchange(0xF1);
    ASSERT_EQ(Bytes{0x11}, port.Exchange(0x63, {0x00, 0x01}));
    ASSERT_EQ(Bytes{0x11}, port.Exchange(0x5B, {0x10, 0x21, 0x00}));
  }

  vu_state State() {
    vu_state s{};
    vu_get_state(0, &s);
    return s;
  }
};

struct FrameCase {
  const char *name;
  Bytes request;
  Bytes reply;
};

class Frames : public Model, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(Frames, AreAnsweredAsTheUnitDoes) {
  Port port;
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(GetParam().reply, port.Exchange(GetParam().request));
}

INSTANTIATE_TEST_SUITE_P(
    Model, Frames,
    ::testing::Values(
        FrameCase{"BoardHello", {0xF0, 0x0F}, {0x11}},
        FrameCase{"CoinHello", {0x60, 0x9F}, {0x11}},
        FrameCase{"BillHello", {0x58, 0xA7}, {0x11}},
        FrameCase{"Start", {0xF3, 0x0C, 0x02, 0x70, 0x01, 0x73}, {0x11}},
        FrameCase{"Stop", {0xF3, 0x0C, 0x02, 0x70, 0x02, 0x70}, {0x11}},
        FrameCase{"ClearBackup", {0xF3, 0x0C, 0x02, 0x70, 0x40, 0x32}, {0x11}},
        FrameCase{"Reset", {0xF3, 0x0C, 0x02, 0x70, 0x80, 0xF2}, {0xBB}},
        FrameCase{"Display",
                  {0xF3, 0x0C, 0x06, 0x74, 0x00, 0x80, 0x80, 0x80, 0x80, 0x72},
                  {0x11}},
        FrameCase{"BuzzerSilent", {0xF3, 0x0C, 0x01, 0x75, 0x74}, {0x11}},
        FrameCase{"Clock",
                  {0xF3, 0x0C, 0x08, 0x73, 0x20, 0x26, 0x12, 0x07, 0x02, 0x27,
                   0x15, 0x58},
                  {0x11}},
        FrameCase{"CoinEnable", {0x63, 0x9C, 0x02, 0x00, 0x01, 0x03}, {0x11}},
        FrameCase{
            "BillEnable", {0x5B, 0xA4, 0x03, 0x10, 0x21, 0x00, 0x32}, {0x11}},
        FrameCase{"CoinPayout1230",
                  {0x63, 0x9C, 0x04, 0x01, 0x30, 0x12, 0x00, 0x27},
                  {0x11}},
        FrameCase{"BillPayout3",
                  {0x5B, 0xA4, 0x05, 0x11, 0x00, 0x30, 0x00, 0x00, 0x24},
                  {0x11}},
        FrameCase{"EmptyBackup", {0xF6, 0x09}, {0xEE}},
        FrameCase{"EmptyBillBackup", {0xF7, 0x08}, {0xEE}},
        FrameCase{"UnknownCommand", {0xF4, 0x0B}, {0xEE}},
        FrameCase{
            "UnknownSubCommand", {0xF3, 0x0C, 0x02, 0x7F, 0x00, 0x7D}, {0x55}},
        FrameCase{"WrongLength", {0xF3, 0x0C, 0x01, 0x70, 0x71}, {0x55}},
        FrameCase{
            "UnknownCoinControl", {0x63, 0x9C, 0x02, 0x00, 0x07, 0x05}, {0x55}},
        FrameCase{"BadComplement", {0xF0, 0x0E}, {}},
        FrameCase{"BadCheckByte", {0xF3, 0x0C, 0x02, 0x70, 0x01, 0x72}, {}}),
    [](const auto &test) { return std::string(test.param.name); });

TEST_F(Model, ReadsCarryEveryItemWithAGoodCheckByte) {
  Port port;
  struct {
    uint8_t command;
    Bytes tags;
  } reads[] = {{0xF1, {0x7D, 0x7A, 0x79, 0x7B}},
               {0x61, {0x0D, 0x0C, 0x08, 0x09, 0x0A, 0x0B}},
               {0x59, {0x1D, 0x1C, 0x18, 0x19, 0x1A, 0x1B}}};
  size_t sizes[256] = {};
  const size_t table[][2] = {{0x08, 4}, {0x09, 4},  {0x0A, 4},  {0x0B, 1},
                             {0x0C, 3}, {0x0D, 2},  {0x18, 1},  {0x19, 1},
                             {0x1A, 1}, {0x1B, 3},  {0x1C, 2},  {0x1D, 2},
                             {0x79, 3}, {0x7A, 60}, {0x7B, 14}, {0x7D, 127}};
  for (const auto &row : table) sizes[row[0]] = row[1];
  for (const auto &read : reads) {
    ParsedReply r = Parse(port.Exchange(read.command));
    EXPECT_EQ(0x33, r.status) << std::hex << int{read.command};
    ASSERT_TRUE(r.checkOk);
    ASSERT_EQ(read.tags.size(), r.items.size());
    for (size_t i = 0; i < r.items.size(); ++i) {
      EXPECT_EQ(read.tags[i], r.items[i][0]);
      EXPECT_EQ(sizes[read.tags[i]] + 1, r.items[i].size());
    }
  }
}

TEST_F(Model, CoinReadReportsStockIdAndStoppedInBcd) {
  const int stock[4] = {12, 0, 99, 5};
  ASSERT_EQ(VU_OK, vu_set_coin_stock(0, stock));
  Port port;
  ParsedReply r = Parse(port.Exchange(0x61));
  ASSERT_NE(nullptr, r.Find(0x09));
  EXPECT_EQ((Bytes{0x09, 0x12, 0x00, 0x99, 0x05}), *r.Find(0x09));
  EXPECT_EQ((Bytes{0x0D, 0x43, 0x01}), *r.Find(0x0D));
  EXPECT_EQ((Bytes{0x0B, 0x04}), *r.Find(0x0B));
}

TEST_F(Model, PollsReportOnlyWhatChanged) {
  Port port;
  port.Exchange(0xF3, {0x70, 0x01});
  port.Exchange(0x61);
  port.Exchange(0xF1);
  EXPECT_EQ(Bytes{0x11}, port.Exchange(0x62)) << "nothing new: StAck";
  EXPECT_EQ((Bytes{0x33, 0x00, 0x00}), port.Exchange(0xF2))
      << "the board poll is always a list";

  port.Exchange(0x63, {0x00, 0x01});
  // One item: StItem with the tag and value, no length byte of its own.
  EXPECT_EQ((Bytes{0x22, 0x02, 0x0B, 0x01, 0x08}), port.Exchange(0x62));
  EXPECT_EQ(Bytes{0x11}, port.Exchange(0x62));

  ASSERT_EQ(VU_OK, vu_insert_coin(0, 50));
  ParsedReply r = Parse(port.Exchange(0x62));
  EXPECT_EQ(0x33, r.status);
  ASSERT_EQ(2u, r.items.size());
  EXPECT_EQ((Bytes{0x08, 0x00, 0x01, 0x00, 0x00}), r.items[0]);
  EXPECT_EQ((Bytes{0x09, 0x20, 0x21, 0x20, 0x20}), r.items[1]);

  ParsedReply board = Parse(port.Exchange(0xF2));
  ASSERT_EQ(1u, board.items.size());
  EXPECT_EQ(0x7A, board.items[0][0]) << "the meters moved";
}

TEST_F(Model, CoinRefusedWhileAcceptanceIsOffIsReportedOnce) {
  Port port;
  port.Exchange(0xF3, {0x70, 0x01});
  port.Exchange(0x61);
  EXPECT_EQ(VU_REFUSED, vu_insert_coin(0, 100));
  EXPECT_EQ((Bytes{0x22, 0x02, 0x0B, 0x0C, 0x05}), port.Exchange(0x62));
  EXPECT_EQ((Bytes{0x22, 0x02, 0x0B, 0x04, 0x0D}), port.Exchange(0x62));
  EXPECT_EQ(0, State().coin_in[2]);
}

TEST_F(Model, EnableIsIgnoredWhileTheBoardIsStopped) {
  Port port;
  EXPECT_EQ(Bytes{0x11}, port.Exchange(0x63, {0x00, 0x01}));
  EXPECT_FALSE(State().coin_accepting);
  EXPECT_EQ(VU_REFUSED, vu_insert_coin(0, 10));
  port.Exchange(0xF3, {0x70, 0x01});
  port.Exchange(0x63, {0x00, 0x01});
  EXPECT_TRUE(State().coin_accepting);
  port.Exchange(0xF3, {0x70, 0x02});
  EXPECT_FALSE(State().coin_accepting) << "stop switches acceptance off";
}

struct PayoutCase {
  int stock[4];
  int amount;
  int paid[4];
  long unpaid;
};

class CoinPayout : public Model,
                   public ::testing::WithParamInterface<PayoutCase> {};

TEST_P(CoinPayout, TakesCoinsGreedilyAndReportsOnTheNextPoll) {
  const PayoutCase &c = GetParam();
  ASSERT_EQ(VU_OK, vu_set_coin_stock(0, c.stock));
  Port port;
  port.Exchange(0x61);
  int a = c.amount;
  Bytes payload{0x01, static_cast<uint8_t>((a / 10 % 10) << 4 | a % 10),
                static_cast<uint8_t>((a / 1000 % 10) << 4 | a / 100 % 10),
                static_cast<uint8_t>(a / 10000)};
  ASSERT_EQ(Bytes{0x11}, port.Exchange(0x63, payload));
  vu_money_report before;
  vu_check_money(0, &before);
  EXPECT_EQ(0,
            before.paid[0] + before.paid[1] + before.paid[2] + before.paid[3])
      << "nothing is paid before the unit is polled";

  ParsedReply r = Parse(port.Exchange(0x62));
  const Bytes *status = r.Find(0x0B);
  ASSERT_NE(nullptr, status);
  EXPECT_EQ(0x14, (*status)[1]) << "payout done and stopped";
  vu_money_report after;
  EXPECT_EQ(VU_OK, vu_check_money(0, &after));
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(c.paid[k], after.paid[k]) << k;
    EXPECT_EQ(c.stock[k] - c.paid[k], after.stock[k]) << k;
  }
  EXPECT_EQ(c.unpaid, after.unpaid);
  // The payout bit is reported once.
  EXPECT_EQ((Bytes{0x22, 0x02, 0x0B, 0x04, 0x0D}), port.Exchange(0x62));
}

INSTANTIATE_TEST_SUITE_P(
    Model, CoinPayout,
    ::testing::Values(PayoutCase{{20, 20, 20, 20}, 1230, {3, 0, 2, 2}, 0},
                      PayoutCase{{0, 0, 5, 1}, 1000, {0, 0, 5, 1}, 0},
                      PayoutCase{{4, 1, 4, 1}, 1000, {4, 1, 4, 1}, 10},
                      PayoutCase{{9, 9, 9, 9}, 995, {4, 1, 4, 1}, 5},
                      PayoutCase{{99, 0, 0, 0}, 990, {99, 0, 0, 0}, 0}),
    [](const auto &test) {
      return "Amount" + std::to_string(test.param.amount) + "Case" +
             std::to_string(test.index);
    });

TEST_F(Model, PayoutLastsTheConfiguredPolls) {
  vu_clear_devices();
  vu_device_config c;
  vu_default_config(&c);
  c.payout_polls = 3;
  ASSERT_EQ(0, vu_add_device(&c));
  Port port;
  port.Exchange(0x59);
  ASSERT_EQ(Bytes{0x11}, port.Exchange(0x5B, {0x11, 0x00, 0x20, 0x00, 0x00}));
  EXPECT_EQ((Bytes{0x22, 0x04, 0x1B, 0x00, 0x00, 0x00, 0x1F}),
            port.Exchange(0x5A))
      << "running: neither stopped nor accepting";
  EXPECT_EQ(Bytes{0x11}, port.Exchange(0x5A));
  ParsedReply done = Parse(port.Exchange(0x5A));
  ASSERT_NE(nullptr, done.Find(0x1A));
  EXPECT_EQ((Bytes{0x1A, 0x02}), *done.Find(0x1A));
  EXPECT_EQ((Bytes{0x19, 0x08}), *done.Find(0x19));
  EXPECT_EQ((Bytes{0x1B, 0x0C, 0x00, 0x00}), *done.Find(0x1B));
}

TEST_F(Model, NoteWaitsInEscrowUntilASettleStacksIt) {
  Port port;
  StartAndEnable(port);
  port.Exchange(0x5A);
  ASSERT_EQ(VU_OK, vu_insert_note(0, 1000));
  EXPECT_EQ(VU_REFUSED, vu_insert_note(0, 1000)) << "escrow of one";
  EXPECT_EQ(VU_ERR_ARGUMENT, vu_insert_note(0, 5000));
  ParsedReply held = Parse(port.Exchange(0x5A));
  EXPECT_EQ((Bytes{0x18, 0x01}), *held.Find(0x18));
  EXPECT_EQ(0x21 | 0x40, (*held.Find(0x1B))[1]) << "held, accepting, returned";

  port.Exchange(0x5B, {0x10, 0x20, 0x00});
  EXPECT_EQ(0x24, Parse(port.Exchange(0x5A)).Find(0x1B)->at(1));
  port.Exchange(0x5B, {0x10, 0x02, 0x00});
  ParsedReply settled = Parse(port.Exchange(0x5A));
  EXPECT_EQ((Bytes{0x18, 0x00}), *settled.Find(0x18));
  EXPECT_EQ((Bytes{0x19, 0x11}), *settled.Find(0x19));
  EXPECT_EQ(0x14, settled.Find(0x1B)->at(1)) << "settle done, stopped";
  EXPECT_EQ(11, State().note_stock);
}

TEST_F(Model, SettleClosesThePerTradeCounts) {
  Port port;
  StartAndEnable(port);
  vu_insert_coin(0, 100);
  vu_insert_coin(0, 10);
  port.Exchange(0x63, {0x00, 0x00});
  port.Exchange(0x63, {0x01, 0x10, 0x00, 0x00});
  port.Exchange(0x62);
  EXPECT_EQ(1, State().coin_in[2]);
  EXPECT_EQ(1, State().coin_out[0]);
  port.Exchange(0x63, {0x00, 0x02});
  ParsedReply r = Parse(port.Exchange(0x62));
  EXPECT_EQ((Bytes{0x08, 0, 0, 0, 0}), *r.Find(0x08));
  EXPECT_EQ((Bytes{0x0A, 0, 0, 0, 0}), *r.Find(0x0A));
  EXPECT_EQ((Bytes{0x0B, 0x24}), *r.Find(0x0B));
}

struct CounterCase {
  const char *name;
  std::vector<Bytes> frames;  // SubCounter selector, value
  int meter;
  uint32_t value;
};

class Counters : public Model,
                 public ::testing::WithParamInterface<CounterCase> {};

TEST_P(Counters, MoveTheirMeter) {
  Port port;
  for (const Bytes &f : GetParam().frames) {
    ASSERT_EQ(Bytes{0x11}, port.Exchange(0xF3, {0x72, f[0], f[1]}));
  }
  EXPECT_EQ(GetParam().value, State().meters[GetParam().meter]);
}

INSTANTIATE_TEST_SUITE_P(
    Model, Counters,
    ::testing::Values(
        CounterCase{"ChargeAdds", {{0x85, 0xDC}, {0x80, 0x64}}, 8, 1600},
        CounterCase{"ZeroChargeClears", {{0x85, 0xDC}, {0x80, 0x00}}, 8, 0},
        CounterCase{"ChargeTotalStays", {{0x85, 0xDC}, {0x80, 0x00}}, 9, 1500},
        CounterCase{"Largest", {{0xFF, 0xFF}}, 8, 0x7FFF},
        CounterCase{"NotesCounted", {{0x00, 0x01}, {0x00, 0x01}}, 4, 2},
        CounterCase{"NotesCleared", {{0x00, 0x01}, {0x00, 0x00}}, 4, 0},
        CounterCase{"UserCounter1", {{0x10, 0x03}, {0x10, 0x02}}, 5, 5},
        CounterCase{"UserCounter2", {{0x20, 0x07}}, 6, 7}),
    [](const auto &test) { return std::string(test.param.name); });

TEST_F(Model, ChargedMeterReachesTheBoardPollBigEndian) {
  Port port;
  port.Exchange(0xF1);
  port.Exchange(0xF3, {0x72, 0x92, 0x34});
  ParsedReply r = Parse(port.Exchange(0xF2));
  ASSERT_EQ(1u, r.items.size());
  const Bytes &meters = r.items[0];
  ASSERT_EQ(61u, meters.size());
  EXPECT_EQ((Bytes{0x00, 0x00, 0x12, 0x34}),
            Bytes(meters.begin() + 1 + 32, meters.begin() + 1 + 36));
}

TEST_F(Model, BackupHoldsAnUnsettledTradeUntilCleared) {
  {
    Port port;
    StartAndEnable(port);
    port.Exchange(0xF3, {0x70, 0x02});
    EXPECT_EQ(Bytes{0xEE}, port.Exchange(0xF6)) << "nothing unsettled";
    port.Exchange(0xF3, {0x70, 0x01});
    port.Exchange(0x63, {0x00, 0x01});
    vu_insert_coin(0, 500);
    port.Exchange(0xF3, {0x70, 0x02});
    ParsedReply coin = Parse(port.Exchange(0xF6));
    EXPECT_EQ(0x11, coin.status);
    ASSERT_NE(nullptr, coin.Find(0x08));
    EXPECT_EQ((Bytes{0x08, 0, 0, 0, 1}), *coin.Find(0x08));
    ParsedReply note = Parse(port.Exchange(0xF7));
    EXPECT_EQ(0x11, note.status);
    EXPECT_NE(nullptr, note.Find(0x1B));
    EXPECT_EQ(Bytes{0x11}, port.Exchange(0xF3, {0x70, 0x40}));
    EXPECT_EQ(Bytes{0xEE}, port.Exchange(0xF6));
    EXPECT_EQ(Bytes{0xEE}, port.Exchange(0xF7));
  }
}

TEST_F(Model, ResetSilencesTheBoardUntilTheNextOpen) {
  {
    Port port;
    port.Exchange(0xF3, {0x70, 0x01});
    EXPECT_EQ(Bytes{0xBB}, port.Exchange(0xF3, {0x70, 0x80}));
    EXPECT_EQ(Bytes{}, port.Exchange(0xF3, {0x70, 0x80}));
    EXPECT_EQ(Bytes{}, port.Exchange(0xF0));
    EXPECT_TRUE(State().restarting);
    EXPECT_FALSE(State().started);
    EXPECT_EQ(1u, State().meters[11]);
  }
  Port again;
  EXPECT_EQ(Bytes{0x11}, again.Exchange(0xF0));
}

TEST_F(Model, UnfittedUnitAnswersNone) {
  vu_remove_unit(0, VU_NOTE, 1);
  Port port;
  for (uint8_t command : {uint8_t{0x58}, uint8_t{0x59}, uint8_t{0x5A}}) {
    EXPECT_EQ(Bytes{0xEE}, port.Exchange(command)) << int{command};
  }
  EXPECT_EQ(Bytes{0xEE}, port.Exchange(0x5B, {0x10, 0x21, 0x00}));
  EXPECT_EQ(VU_NO_UNIT, vu_insert_note(0, 1000));
  EXPECT_EQ(Bytes{0x11}, port.Exchange(0x60)) << "the coin unit is there";
}

TEST_F(Model, JammedUnitReportsItAndHoldsItsPayout) {
  Port port;
  StartAndEnable(port);
  port.Exchange(0x62);
  vu_jam(0, VU_COIN, 1);
  EXPECT_EQ(VU_JAMMED, vu_insert_coin(0, 10));
  EXPECT_EQ((Bytes{0x22, 0x02, 0x0B, 0x80, 0x89}), port.Exchange(0x62));
  port.Exchange(0x63, {0x01, 0x50, 0x00, 0x00});
  EXPECT_EQ(Bytes{0x11}, port.Exchange(0x62)) << "the payout does not move";
  EXPECT_EQ(Bytes{0x11}, port.Exchange(0x62));
  vu_jam(0, VU_COIN, 0);
  ParsedReply r = Parse(port.Exchange(0x62));
  EXPECT_EQ((Bytes{0x0B, 0x14}), *r.Find(0x0B));
}

struct FaultCase {
  const char *name;
  vu_fault fault;
  Bytes request;
  std::vector<Bytes> replies;  // to the request sent again and again
};

class Faults : public Model, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, StrikeTheChosenFrames) {
  vu_fault f = GetParam().fault;
  ASSERT_EQ(VU_OK, vu_add_fault(0, &f));
  Port port;
  for (const Bytes &expected : GetParam().replies) {
    EXPECT_EQ(expected, port.Exchange(GetParam().request));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Model, Faults,
    ::testing::Values(FaultCase{"SilenceOnce",
                                {VU_FAULT_SILENCE, 0xF0, -1, -1, 0, 1, 0},
                                {0xF0, 0x0F},
                                {{}, {0x11}, {0x11}}},
                      FaultCase{"SilenceAfterOne",
                                {VU_FAULT_SILENCE, 0xF0, -1, -1, 1, -1, 0},
                                {0xF0, 0x0F},
                                {{0x11}, {}, {}}},
                      FaultCase{"StatusOnASubCommand",
                                {VU_FAULT_STATUS, 0xF3, 0x70, 0x01, 0, 1, 0x99},
                                {0xF3, 0x0C, 0x02, 0x70, 0x01, 0x73},
                                {{0x99}, {0x11}}},
                      FaultCase{"OtherValueNotStruck",
                                {VU_FAULT_STATUS, 0xF3, 0x70, 0x02, 0, 1, 0x99},
                                {0xF3, 0x0C, 0x02, 0x70, 0x01, 0x73},
                                {{0x11}}},
                      FaultCase{"DataStatusComesWithAnEmptyList",
                                {VU_FAULT_STATUS, 0xF6, -1, -1, 0, 1, 0x33},
                                {0xF6, 0x09},
                                {{0x33, 0x00, 0x00}, {0xEE}}},
                      FaultCase{"BadCheckOnAnAck",
                                {VU_FAULT_BAD_CHECK, 0x60, -1, -1, 0, 1, 0},
                                {0x60, 0x9F},
                                {{0x51}, {0x11}}},
                      FaultCase{"ShortAck",
                                {VU_FAULT_SHORT, 0x60, -1, -1, 0, 1, 0},
                                {0x60, 0x9F},
                                {{}, {0x11}}}),
    [](const auto &test) { return std::string(test.param.name); });

TEST_F(Model, BoardPollWithABadCheckByteIsReportedAgain) {
  vu_fault f{VU_FAULT_BAD_CHECK, 0xF2, -1, -1, 0, 1, 0};
  vu_add_fault(0, &f);
  Port port;
  Bytes spoilt = port.Exchange(0xF2);
  ASSERT_GT(spoilt.size(), 3u);
  EXPECT_FALSE(Parse(spoilt).checkOk);
  Bytes again = port.Exchange(0xF2);
  EXPECT_TRUE(Parse(again).checkOk);
  EXPECT_EQ(4u, Parse(again).items.size()) << "everything, never delivered";
  EXPECT_EQ((Bytes{0x33, 0x00, 0x00}), port.Exchange(0xF2));
}

TEST_F(Model, SpoiltPollIsReportedAgain) {
  Port port;
  StartAndEnable(port);
  port.Exchange(0x62);
  vu_insert_coin(0, 10);
  vu_fault f{VU_FAULT_SHORT, 0x62, -1, -1, 0, 1, 0};
  vu_add_fault(0, &f);
  Bytes cut = port.Exchange(0x62);
  EXPECT_EQ(0x33, cut[0]);
  EXPECT_LT(cut.size(), 3u + cut[1]);
  ParsedReply again = Parse(port.Exchange(0x62));
  EXPECT_TRUE(again.checkOk);
  EXPECT_NE(nullptr, again.Find(0x08));
}

TEST_F(Model, LineSettingsOtherThan38400Baud8N1GetNoAnswer) {
  Port raw(0, false);
  EXPECT_EQ(Bytes{}, raw.Exchange(0xF0)) << "still at 9600 baud";
  FT_SetBaudRate(raw.handle(), 38400);
  FT_SetDataCharacteristics(raw.handle(), 7, 0, 0);
  EXPECT_EQ(Bytes{}, raw.Exchange(0xF0));
  FT_SetDataCharacteristics(raw.handle(), 8, 0, 0);
  EXPECT_EQ(Bytes{0x11}, raw.Exchange(0xF0));
}

TEST_F(Model, DriverListsItsDevicesAndTheirInformation) {
  vu_device_config second;
  vu_default_config(&second);
  second.device_id = 0x16C91403;
  std::strcpy(second.serial, "SECOND");
  ASSERT_EQ(1, vu_add_device(&second));
  DWORD count = 0;
  ASSERT_EQ(FT_OK, FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY));
  EXPECT_EQ(2u, count);

  Port port(1);
  ASSERT_TRUE(port.ok());
  FT_DEVICE type = 0;
  DWORD id = 0;
  char serial[16] = {};
  char description[64] = {};
  ASSERT_EQ(FT_OK, FT_GetDeviceInfo(port.handle(), &type, &id, serial,
                                    description, nullptr));
  EXPECT_EQ(0x16C91403u, id);
  EXPECT_STREQ("SECOND", serial);
  FT_HANDLE twice = nullptr;
  EXPECT_NE(FT_OK, FT_Open(1, &twice)) << "a device opens once";
  EXPECT_EQ(FT_DEVICE_NOT_FOUND, FT_Open(2, &twice));
}

TEST_F(Model, ChosenDriverCallsFail) {
  vu_fail_list(FT_IO_ERROR);
  DWORD count = 0;
  EXPECT_EQ(FT_IO_ERROR, FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY));
  vu_fail_list(0);
  ASSERT_EQ(VU_OK, vu_fail_calls(0, VU_CALL_PURGE | VU_CALL_READ, 7));
  Port port;
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(7u, FT_Purge(port.handle(), 3));
  uint8_t b;
  DWORD got;
  EXPECT_EQ(7u, FT_Read(port.handle(), &b, 1, &got));
  EXPECT_EQ(FT_OK, FT_SetBaudRate(port.handle(), 38400));
  EXPECT_EQ(FT_INVALID_HANDLE, FT_Purge(nullptr, 3));
}

TEST_F(Model, VirtualClockCountsTheWireAndTheTimeOut) {
  vu_timing t{1, 0, 0, 500, 0};
  vu_set_timing(&t);
  Port port;
  uint64_t start = vu_now_us();
  Bytes frame = Frame(0xF0);
  DWORD written;
  FT_Write(port.handle(), frame.data(), 2, &written);
  EXPECT_EQ(Bytes{0x11}, port.Read(1));
  // Two bytes out, the latency, one byte back: 3 x 260.4 us + 500 us.
  uint64_t exchange = vu_now_us() - start;
  EXPECT_NEAR(3 * 1e6 / 3840 + 500, static_cast<double>(exchange), 2.0);

  start = vu_now_us();
  EXPECT_EQ(Bytes{}, port.Read(1)) << "nothing more comes";
  EXPECT_EQ(1000000u, vu_now_us() - start) << "the read time-out";
}

TEST_F(Model, InstantModelNeverWaits) {
  Port port;
  EXPECT_EQ(0u, vu_now_us());
  EXPECT_EQ(Bytes{}, port.Read(5));
  EXPECT_EQ(0u, vu_now_us());
}

TEST_F(Model, TraceSeesEveryFrameAndReply) {
  struct Seen {
    std::vector<std::string> lines;
  } seen;
  vu_set_trace(
      [](void *context, const vu_trace_event *e) {
        char text[512];
        vu_describe(e, text, sizeof text);
        static_cast<Seen *>(context)->lines.emplace_back(text);
      },
      &seen);
  Port port;
  port.Exchange(0x63, {0x01, 0x30, 0x12, 0x00});
  port.Exchange(0x62);
  ASSERT_EQ(4u, seen.lines.size());
  EXPECT_EQ("-> 63 9C 04 01 30 12 00 27   CoinCtrl payout 1230", seen.lines[0]);
  EXPECT_EQ("<- 11   StAck", seen.lines[1]);
  EXPECT_NE(std::string::npos, seen.lines[3].find("CoinOut 3/0/2/2"))
      << seen.lines[3];
  EXPECT_NE(std::string::npos, seen.lines[3].find("14(stopped,payout)"))
      << seen.lines[3];
}

TEST_F(Model, MoneyIsConservedThroughARandomDay) {
  Port port;
  StartAndEnable(port);
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  const int coins[4] = {10, 50, 100, 500};
  for (int step = 0; step < 500; ++step) {
    switch (next() % 6) {
      case 0:
        vu_insert_coin(0, coins[next() % 4]);
        break;
      case 1:
        vu_insert_note(0, 1000);
        break;
      case 2: {
        int a = static_cast<int>(next() % 200) * 10;
        port.Exchange(
            0x63,
            {0x01, static_cast<uint8_t>((a / 10 % 10) << 4 | a % 10),
             static_cast<uint8_t>((a / 1000 % 10) << 4 | a / 100 % 10), 0x00});
        break;
      }
      case 3:
        port.Exchange(
            0x5B, {0x11, 0x00, static_cast<uint8_t>((next() % 10) << 4), 0, 0});
        break;
      case 4:
        port.Exchange(next() % 2 ? 0x63 : 0x5B,
                      {static_cast<uint8_t>(0x00)});  // refused: no effect
        port.Exchange(0x63, {0x00, 0x02});
        port.Exchange(0x5B, {0x10, 0x02, 0x00});
        port.Exchange(0x63, {0x00, 0x01});
        port.Exchange(0x5B, {0x10, 0x21, 0x00});
        break;
      default:
        port.Exchange(0x62);
        port.Exchange(0x5A);
        break;
    }
    ASSERT_EQ(VU_OK, vu_check_money(0, nullptr)) << "step " << step;
  }
  vu_money_report r;
  vu_check_money(0, &r);
  EXPECT_GT(r.value_in, 0);
  EXPECT_GT(r.value_out, 0);
}

}  // namespace

namespace {

TEST_F(Model, PowerFailureMidTradeKeepsTheTradeAndRestarts) {
  {
    Port port;
    StartAndEnable(port);
    ASSERT_EQ(VU_OK, vu_insert_coin(0, 100));
    ASSERT_EQ(VU_OK, vu_power_fail(0));
    EXPECT_EQ(Bytes{}, port.Exchange(0xF0)) << "restarting";
    vu_state s = State();
    EXPECT_TRUE(s.backup_stored);
    EXPECT_FALSE(s.started);
    EXPECT_FALSE(s.coin_accepting);
  }
  Port again;
  EXPECT_EQ(Bytes{0x11}, again.Exchange(0xF0));
  ParsedReply backup = Parse(again.Exchange(0xF6));
  ASSERT_NE(nullptr, backup.Find(0x08));
  EXPECT_EQ((Bytes{0x08, 0, 0, 1, 0}), *backup.Find(0x08));
}

struct ApiCase {
  const char *name;
  int (*call)();
  int expected;
};

class Api : public Model, public ::testing::WithParamInterface<ApiCase> {};

TEST_P(Api, RefusesWhatItCannotDo) {
  EXPECT_EQ(GetParam().expected, GetParam().call());
}

INSTANTIATE_TEST_SUITE_P(
    Model, Api,
    ::testing::Values(
        ApiCase{"NoSuchCoin", [] { return vu_insert_coin(0, 20); },
                VU_ERR_ARGUMENT},
        ApiCase{"NoSuchDevice", [] { return vu_insert_coin(3, 10); },
                VU_ERR_DEVICE},
        ApiCase{"CoinWhileOff", [] { return vu_insert_coin(0, 10); },
                VU_REFUSED},
        ApiCase{"NoSuchUnit", [] { return vu_jam(0, 2, 1); }, VU_ERR_ARGUMENT},
        ApiCase{"TubeOverfull",
                [] {
                  const int counts[4] = {100, 0, 0, 0};
                  return vu_set_coin_stock(0, counts);
                },
                VU_ERR_ARGUMENT},
        ApiCase{"NegativeNotes", [] { return vu_set_note_stock(0, -1); },
                VU_ERR_ARGUMENT},
        ApiCase{"FaultWithoutKind",
                [] {
                  vu_fault f{0, -1, -1, -1, 0, -1, 0};
                  return vu_add_fault(0, &f);
                },
                VU_ERR_ARGUMENT},
        ApiCase{"StateWithoutBuffer", [] { return vu_get_state(0, nullptr); },
                VU_ERR_ARGUMENT},
        ApiCase{"MoneyOfNoDevice", [] { return vu_check_money(1, nullptr); },
                VU_ERR_DEVICE}),
    [](const auto &test) { return std::string(test.param.name); });

}  // namespace
