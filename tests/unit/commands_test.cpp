// The encoders: the exact frames of every command the library sends, the
// two tries of the hellos, the board reset's rule, and that nothing but the
// one-byte StAck counts as success.
#include "commands/commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fake_d2xx.h"
#include "library_state.h"
#include "link/link.h"
#include "state/state.h"

namespace {

using fake::Body;
using fake::Bytes;
using fake::Concat;
using fake::D2xx;
using fake::Fn;
using fake::Status;

const uint8_t kAllCommands[] = {0xF0, 0xF1, 0xF2, 0xF3, 0xF6, 0xF7, 0x60,
                                0x61, 0x62, 0x63, 0x58, 0x59, 0x5A, 0x5B};

class EncoderTest : public fake::PortTest {
 protected:
  void SetUp() override { Fresh(); }
  // A fresh library with the port open and every command answered StAck.
  static void Fresh() {
    PortTest::Fresh();
    for (uint8_t command : kAllCommands)
      D2xx::Get().Standing(command, Status(0x11));
  }
};

const uint8_t kBuzzerPattern[40] = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
    0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13,
    0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D,
    0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27};
const uint8_t kBlankDisplay[5] = {0x00, 0x80, 0x80, 0x80, 0x80};
const uint8_t kSomeDisplay[5] = {0x05, 0x01, 0x0F, 0x80, 0xB6};

struct FrameCase {
  const char *name;
  std::function<int()> send;
  Bytes wire;
};

const std::vector<FrameCase> &FrameCases() {
  static const std::vector<FrameCase> cases = {
      {"BoardHello", [] { return BoardHello(); }, {0xF0, 0x0F}},
      {"CoinHello", [] { return CoinHello(); }, {0x60, 0x9F}},
      {"BillHello", [] { return BillHello(); }, {0x58, 0xA7}},
      {"BoardClearBackup",
       [] { return BoardClearBackup(); },
       {0xF3, 0x0C, 0x02, 0x70, 0x40, 0x32}},
      {"BoardStart",
       [] { return BoardStart(); },
       {0xF3, 0x0C, 0x02, 0x70, 0x01, 0x73}},
      {"BoardStop",
       [] { return BoardStop(); },
       {0xF3, 0x0C, 0x02, 0x70, 0x02, 0x70}},
      {"BoardClock at 2026-12-07 02:27:15",
       [] { return BoardClock(); },
       {0xF3, 0x0C, 0x08, 0x73, 0x20, 0x26, 0x12, 0x07, 0x02, 0x27, 0x15,
        0x58}},
      {"CoinCtrl enable",
       [] { return CoinCtrl(0x01); },
       {0x63, 0x9C, 0x02, 0x00, 0x01, 0x03}},
      {"CoinCtrl inhibit",
       [] { return CoinCtrl(0x00); },
       {0x63, 0x9C, 0x02, 0x00, 0x00, 0x02}},
      {"CoinCtrl settle",
       [] { return CoinCtrl(0x02); },
       {0x63, 0x9C, 0x02, 0x00, 0x02, 0x00}},
      {"BillCtrl enable",
       [] { return BillCtrl(0x21); },
       {0x5B, 0xA4, 0x03, 0x10, 0x21, 0x00, 0x32}},
      {"BillCtrl inhibit",
       [] { return BillCtrl(0x20); },
       {0x5B, 0xA4, 0x03, 0x10, 0x20, 0x00, 0x33}},
      {"BillCtrl settle",
       [] { return BillCtrl(0x02); },
       {0x5B, 0xA4, 0x03, 0x10, 0x02, 0x00, 0x11}},
      {"CoinPayout 1230",
       [] { return CoinPayout(1230); },
       {0x63, 0x9C, 0x04, 0x01, 0x30, 0x12, 0x00, 0x27}},
      {"CoinPayout 0",
       [] { return CoinPayout(0); },
       {0x63, 0x9C, 0x04, 0x01, 0x00, 0x00, 0x00, 0x05}},
      {"CoinPayout 10",
       [] { return CoinPayout(10); },
       {0x63, 0x9C, 0x04, 0x01, 0x10, 0x00, 0x00, 0x15}},
      {"CoinPayout 990",
       [] { return CoinPayout(990); },
       {0x63, 0x9C, 0x04, 0x01, 0x90, 0x09, 0x00, 0x9C}},
      {"CoinPayout 10000",
       [] { return CoinPayout(10000); },
       {0x63, 0x9C, 0x04, 0x01, 0x00, 0x00, 0x01, 0x04}},
      {"CoinPayout 65535",
       [] { return CoinPayout(65535); },
       {0x63, 0x9C, 0x04, 0x01, 0x35, 0x55, 0x06, 0x63}},
      {"BillPayout 3",
       [] { return BillPayout(3); },
       {0x5B, 0xA4, 0x05, 0x11, 0x00, 0x30, 0x00, 0x00, 0x24}},
      {"BillPayout 12 sends its units digit",
       [] { return BillPayout(12); },
       {0x5B, 0xA4, 0x05, 0x11, 0x00, 0x20, 0x00, 0x00, 0x34}},
      {"BillPayout 10 sends its units digit",
       [] { return BillPayout(10); },
       {0x5B, 0xA4, 0x05, 0x11, 0x00, 0x00, 0x00, 0x00, 0x14}},
      {"SendBuzzer silent",
       [] { return SendBuzzer(kBuzzerPattern, 0); },
       {0xF3, 0x0C, 0x01, 0x75, 0x74}},
      {"SendBuzzer without a pattern",
       [] { return SendBuzzer(nullptr, 0); },
       {0xF3, 0x0C, 0x01, 0x75, 0x74}},
      {"SendBuzzer 3",
       [] { return SendBuzzer(kBuzzerPattern + 1, 3); },
       {0xF3, 0x0C, 0x04, 0x75, 0x01, 0x02, 0x03, 0x71}},
      {"SendBuzzer 40 sends 32", [] { return SendBuzzer(kBuzzerPattern, 40); },
       Concat({{0xF3, 0x0C, 0x21, 0x75},
               Bytes(kBuzzerPattern, kBuzzerPattern + 32),
               {0x54}})},
      {"Send7Seg blank",
       [] { return Send7Seg(kBlankDisplay); },
       {0xF3, 0x0C, 0x06, 0x74, 0x00, 0x80, 0x80, 0x80, 0x80, 0x72}},
      {"Send7Seg dots and digits",
       [] { return Send7Seg(kSomeDisplay); },
       {0xF3, 0x0C, 0x06, 0x74, 0x05, 0x01, 0x0F, 0x80, 0xB6, 0x4F}},
      {"SendOutputPort",
       [] { return SendOutputPort(0x5A); },
       {0xF3, 0x0C, 0x02, 0x71, 0x5A, 0x29}},
      {"SendCounter charge of 4660",
       [] { return SendCounter(0x92, 0x34); },
       {0xF3, 0x0C, 0x03, 0x72, 0x92, 0x34, 0xD7}},
      {"SendCounter a note taken in",
       [] { return SendCounter(0x00, 0x01); },
       {0xF3, 0x0C, 0x03, 0x72, 0x00, 0x01, 0x70}},
      {"SendCounter user counter 2",
       [] { return SendCounter(0x20, 0xFF); },
       {0xF3, 0x0C, 0x03, 0x72, 0x20, 0xFF, 0xAE}},
  };
  return cases;
}

TEST_F(EncoderTest, SendsExactlyTheCataloguedFrame) {
  for (const FrameCase &c : FrameCases()) {
    SCOPED_TRACE(c.name);
    Fresh();
    EXPECT_EQ(c.send(), 0);
    ASSERT_EQ(d.frames.size(), 1u);
    EXPECT_EQ(d.frames[0], c.wire);
    EXPECT_EQ(fake::ReadSizes(), (std::vector<uint64_t>{1}));
  }
}

struct ClockCase {
  int year, month, day, hour, minute, second;
  Bytes wire;
};

const ClockCase kClockCases[] = {
    {1999,
     1,
     2,
     3,
     4,
     5,
     {0xF3, 0x0C, 0x08, 0x73, 0x19, 0x99, 0x01, 0x02, 0x03, 0x04, 0x05, 0xFA}},
    {2100,
     10,
     31,
     23,
     59,
     60,  // a leap second as the conversion gives it
     {0xF3, 0x0C, 0x08, 0x73, 0x21, 0x00, 0x10, 0x31, 0x23, 0x59, 0x60, 0x61}},
    {2026,
     12,
     7,
     2,
     27,
     15,
     {0xF3, 0x0C, 0x08, 0x73, 0x20, 0x26, 0x12, 0x07, 0x02, 0x27, 0x15, 0x58}},
};

TEST_F(EncoderTest, SetsTheBoardClockToTheLocalTime) {
  for (const ClockCase &c : kClockCases) {
    SCOPED_TRACE(c.year);
    Fresh();
    fake::Clock &clock = fake::Clock::Get();
    clock.year = c.year;
    clock.month = c.month;
    clock.day = c.day;
    clock.hour = c.hour;
    clock.minute = c.minute;
    clock.second = c.second;
    EXPECT_EQ(BoardClock(), 0);
    ASSERT_EQ(d.frames.size(), 1u);
    EXPECT_EQ(d.frames[0], c.wire);
  }
}

// ------------------------------------------------------------ hellos

using HelloFn = int (*)();
struct HelloCommand {
  const char *name;
  HelloFn hello;
  uint8_t command;
};
const HelloCommand kHellos[] = {
    {"BoardHello", BoardHello, 0xF0},
    {"CoinHello", CoinHello, 0x60},
    {"BillHello", BillHello, 0x58},
};

// What the unit does with one try.
enum class Reply {
  Silence,
  Ack,
  None,
  Reset,
  Zero,
  ItemBody,
  ListBody,
  PurgeFails
};

void Script(uint8_t command, Reply reply, int attempt) {
  D2xx &d = D2xx::Get();
  switch (reply) {
    case Reply::Silence:
      d.Queue(command, {});
      break;
    case Reply::Ack:
      d.Queue(command, Status(0x11));
      break;
    case Reply::None:
      d.Queue(command, Status(0xEE));
      break;
    case Reply::Reset:
      d.Queue(command, Status(0xBB));
      break;
    case Reply::Zero:
      d.Queue(command, Status(0x00));
      break;
    case Reply::ItemBody:
      d.Queue(command, Body(0x22, {0x0B, 0x01}));
      break;
    case Reply::ListBody:
      d.Queue(command, Body(0x33, {0x02, 0x0B, 0x01}));
      break;
    case Reply::PurgeFails:
      d.Queue(command, Status(0x11));  // never reached
      d.FailNth(Fn::Purge, attempt, FT_IO_ERROR);
      break;
  }
}

struct HelloCase {
  const char *name;
  Reply first;
  Reply second;  // ignored when the first try succeeds
  int result;
  size_t tries;
};

const HelloCase kHelloCases[] = {
    {"acknowledged at once", Reply::Ack, Reply::Silence, 0, 1},
    {"no reply, then acknowledged", Reply::Silence, Reply::Ack, 0, 2},
    {"no reply twice", Reply::Silence, Reply::Silence, -1, 2},
    {"a list is a failed try", Reply::ListBody, Reply::Ack, 0, 2},
    {"an item is a failed try", Reply::ItemBody, Reply::Ack, 0, 2},
    {"two lists", Reply::ListBody, Reply::ListBody, -1, 2},
    {"StNone, then acknowledged", Reply::None, Reply::Ack, 0, 2},
    {"StReset, then StNone", Reply::Reset, Reply::None, -1, 2},
    {"unexpected statuses", Reply::Zero, Reply::Zero, -1, 2},
    {"a driver failure, then acknowledged", Reply::PurgeFails, Reply::Ack, 0,
     2},
    {"no reply, then a driver failure", Reply::Silence, Reply::PurgeFails, -1,
     2},
};

TEST_F(EncoderTest, HellosTryTwiceAtMost) {
  for (const HelloCommand &h : kHellos) {
    for (const HelloCase &c : kHelloCases) {
      SCOPED_TRACE(testing::Message() << h.name << ": " << c.name);
      Fresh();
      d.ClearStanding(h.command);
      Script(h.command, c.first, 0);
      Script(h.command, c.second, 1);
      EXPECT_EQ(h.hello(), c.result);
      EXPECT_EQ(d.CallsOf(Fn::Purge).size(), c.tries);
      for (const Bytes &f : d.frames) {
        EXPECT_EQ(f, (Bytes{h.command, static_cast<uint8_t>(~h.command)}));
      }
      // The second try follows at once.
      EXPECT_EQ(fake::Clock::Get().sleeps, 0);
    }
  }
}

TEST_F(EncoderTest, AHelloReadsABodyToItsEnd) {
  d.ClearStanding(0xF0);
  Script(0xF0, Reply::ListBody, 0);
  Script(0xF0, Reply::Ack, 1);
  EXPECT_EQ(BoardHello(), 0);
  EXPECT_EQ(fake::ReadSizes(), (std::vector<uint64_t>{1, 1, 4, 1}));
}

// ------------------------------------------------------------ reset

enum class Second { Silence, Status, WriteFails, ReadFails, PurgeFails };

struct ResetCase {
  const char *name;
  Bytes first;
  Second second;
  Bytes secondReply;  // for Second::Status
  int result;
  size_t frames;  // frames that reached the unit
};

const ResetCase kResetCases[] = {
    {"StReset, then silence", Status(0xBB), Second::Silence, {}, 0, 2},
    {"StAck is a failure", Status(0x11), Second::Silence, {}, -1, 1},
    {"StNone", Status(0xEE), Second::Silence, {}, -1, 1},
    {"no reply", {}, Second::Silence, {}, -1, 1},
    {"a list", Body(0x33, {}), Second::Silence, {}, -1, 1},
    {"an item", Body(0x22, {0x70}), Second::Silence, {}, -1, 1},
    {"StReset, then StAck", Status(0xBB), Second::Status, Status(0x11), -1, 2},
    {"StReset, then StReset", Status(0xBB), Second::Status, Status(0xBB), -1,
     2},
    {"StReset, then StNone", Status(0xBB), Second::Status, Status(0xEE), -1, 2},
    {"StReset, then 0x00", Status(0xBB), Second::Status, Status(0x00), -1, 2},
    {"StReset, then a list", Status(0xBB), Second::Status, Body(0x33, {}), -1,
     2},
    {"StReset, then a status without its body", Status(0xBB), Second::Status,
     Status(0x33), -1, 2},
    {"StReset, then the write fails",
     Status(0xBB),
     Second::WriteFails,
     {},
     -1,
     1},
    {"StReset, then the read fails",
     Status(0xBB),
     Second::ReadFails,
     {},
     -1,
     2},
    {"StReset, then the purge fails",
     Status(0xBB),
     Second::PurgeFails,
     {},
     -1,
     1},
};

TEST_F(EncoderTest, ResetNeedsStResetAndThenSilence) {
  const Bytes resetFrame = {0xF3, 0x0C, 0x02, 0x70, 0x80, 0xF2};
  for (const ResetCase &c : kResetCases) {
    SCOPED_TRACE(c.name);
    Fresh();
    d.ClearStanding(0xF3);
    d.Queue(0xF3, c.first);
    switch (c.second) {
      case Second::Silence:
        d.Queue(0xF3, {});
        break;
      case Second::Status:
        d.Queue(0xF3, c.secondReply);
        break;
      case Second::WriteFails:
        d.FailNth(Fn::Write, 1, FT_IO_ERROR);
        break;
      case Second::ReadFails:
        d.FailNth(Fn::Read, 1, FT_IO_ERROR);
        break;
      case Second::PurgeFails:
        d.FailNth(Fn::Purge, 1, FT_IO_ERROR);
        break;
    }
    EXPECT_EQ(BoardReset(), c.result);
    EXPECT_EQ(d.frames.size(), c.frames);
    for (const Bytes &f : d.frames) EXPECT_EQ(f, resetFrame);
  }
}

// ------------------------------------------------------------ failures

struct Encoder {
  const char *name;
  std::function<int()> send;
};

const std::vector<Encoder> &WriteEncoders() {
  static const std::vector<Encoder> encoders = {
      {"BoardClearBackup", [] { return BoardClearBackup(); }},
      {"BoardStop", [] { return BoardStop(); }},
      {"BoardStart", [] { return BoardStart(); }},
      {"BoardClock", [] { return BoardClock(); }},
      {"CoinCtrl", [] { return CoinCtrl(0x01); }},
      {"BillCtrl", [] { return BillCtrl(0x21); }},
      {"CoinPayout", [] { return CoinPayout(1230); }},
      {"BillPayout", [] { return BillPayout(3); }},
      {"Send7Seg", [] { return Send7Seg(kBlankDisplay); }},
      {"SendBuzzer", [] { return SendBuzzer(kBuzzerPattern, 40); }},
      {"SendBuzzer silent", [] { return SendBuzzer(nullptr, 0); }},
      {"SendOutputPort", [] { return SendOutputPort(0x01); }},
      {"SendCounter", [] { return SendCounter(0x80, 0x00); }},
  };
  return encoders;
}

struct BadReply {
  const char *name;
  Bytes reply;
  Fn failing;  // Fn::ListDevices: no driver failure
};

// The longest bodies a reply can carry: an encoder that gave the exchange
// only its short payload buffer would have them written past its end.
const BadReply kBadReplies[] = {
    {"an item of 255 bytes", Body(0x22, Bytes(255, 0x6B)), Fn::ListDevices},
    {"a list of 255 bytes", Body(0x33, Bytes(255, 0x6B)), Fn::ListDevices},
    {"an empty list", Body(0x33, {}), Fn::ListDevices},
    {"StNone", Status(0xEE), Fn::ListDevices},
    {"StReset", Status(0xBB), Fn::ListDevices},
    {"an unknown status", Status(0x5A), Fn::ListDevices},
    {"no reply", {}, Fn::ListDevices},
    {"a purge failure", Status(0x11), Fn::Purge},
    {"a write failure", Status(0x11), Fn::Write},
    {"a read failure", Status(0x11), Fn::Read},
};

TEST_F(EncoderTest, AnythingButStAckFailsAndChangesNothing) {
  for (const Encoder &e : WriteEncoders()) {
    for (const BadReply &r : kBadReplies) {
      SCOPED_TRACE(testing::Message() << e.name << ": " << r.name);
      Fresh();
      for (uint8_t command : kAllCommands) d.Standing(command, r.reply);
      if (r.failing != Fn::ListDevices) d.Fail(r.failing, FT_IO_ERROR);
      Unit.CoinPending = 0x03;
      Unit.BillPending = 0x0F;
      Unit.LiveRecord.CoinFlags = 0x12345678;
      Unit.PcbRecord.Credit = 4321;
      const PcbData pcb = Unit.PcbRecord;
      const TavoData live = Unit.LiveRecord;

      EXPECT_EQ(e.send(), -1);
      EXPECT_LE(d.frames.size(), 1u);
      EXPECT_EQ(d.CallsOf(Fn::Purge).size(), 1u);
      EXPECT_EQ(Unit.CoinPending, 0x03);
      EXPECT_EQ(Unit.BillPending, 0x0F);
      EXPECT_EQ(std::memcmp(&pcb, &Unit.PcbRecord, sizeof pcb), 0);
      EXPECT_EQ(std::memcmp(&live, &Unit.LiveRecord, sizeof live), 0);
    }
  }
}

TEST_F(EncoderTest, HellosFailOnAnythingButStAck) {
  for (const HelloCommand &h : kHellos) {
    for (const BadReply &r : kBadReplies) {
      SCOPED_TRACE(testing::Message() << h.name << ": " << r.name);
      Fresh();
      d.Standing(h.command, r.reply);
      if (r.failing != Fn::ListDevices) d.Fail(r.failing, FT_IO_ERROR, 2);
      EXPECT_EQ(h.hello(), -1);
      EXPECT_EQ(d.CallsOf(Fn::Purge).size(), 2u);
    }
  }
}

}  // namespace
