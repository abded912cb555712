// The display, buzzer, output port and user counters, through the exports.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <functional>
#include <string>

#include "api/frame.h"
#include "sale_fixture.h"

namespace {

using fake::Bytes;
using sale::BoardWrite;
using sale::Display;
using sale::kNone;

using Digits = std::array<uint8_t, 4>;

Digits Shown() {
  return {Unit.SegDigits[0], Unit.SegDigits[1], Unit.SegDigits[2],
          Unit.SegDigits[3]};
}

class SignalExport : public sale::SaleTest {
 protected:
  void SetUp() override {
    SaleTest::SetUp();
    Open();
  }

  // The one frame the last call sent.
  Bytes Sent() const {
    EXPECT_EQ(d.frames.size(), 1u);
    return d.frames.empty() ? Bytes{} : d.frames.back();
  }
};

struct NumberCase {
  uint32_t mode, value;
  Digits digits;
};

class DisplayModes : public SignalExport,
                     public ::testing::WithParamInterface<NumberCase> {};

TEST_P(DisplayModes, ShowTheValueInItsMode) {
  const NumberCase &c = GetParam();
  ASSERT_EQ(TAVO_7SegNum(handle, c.mode, c.value), 0u);
  const Digits &g = c.digits;
  EXPECT_EQ(Sent(), Display(0x00, g[0], g[1], g[2], g[3]));
  EXPECT_EQ(Shown(), c.digits);
  EXPECT_EQ(Unit.SegDots, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DisplayModes,
    ::testing::Values(
        NumberCase{0, 0x1A2F, {0x01, 0x0A, 0x02, 0x0F}},
        NumberCase{0, 0x0000, {0x00, 0x00, 0x00, 0x00}},
        NumberCase{1, 0x00A0, {0x80, 0x80, 0x0A, 0x00}},
        NumberCase{1, 0x0000, {0x80, 0x80, 0x80, 0x80}},
        NumberCase{1, 0x0100, {0x80, 0x01, 0x00, 0x00}},
        NumberCase{1, 0x0003, {0x80, 0x80, 0x80, 0x03}},
        NumberCase{1, 0xF00F, {0x0F, 0x00, 0x00, 0x0F}},
        NumberCase{2, 12345, {0x02, 0x03, 0x04, 0x05}},
        NumberCase{2, 7, {0x00, 0x00, 0x00, 0x07}},
        NumberCase{2, 65535, {0x05, 0x05, 0x03, 0x05}},
        NumberCase{3, 45, {0x80, 0x80, 0x04, 0x05}},
        NumberCase{3, 0, {0x80, 0x80, 0x80, 0x00}},
        NumberCase{3, 305, {0x80, 0x03, 0x00, 0x05}},
        NumberCase{3, 1005, {0x01, 0x00, 0x00, 0x05}},
        NumberCase{3, 9999, {0x09, 0x09, 0x09, 0x09}},
        NumberCase{3, 10005, {0x00, 0x00, 0x00, 0x05}},
        NumberCase{3, 10045, {0x00, 0x00, 0x04, 0x05}},
        NumberCase{3, 20000, {0x00, 0x00, 0x00, 0x00}},
        // Only the low 8 bits of the mode and 16 bits of the value count.
        NumberCase{0x100, 0x1A2F, {0x01, 0x0A, 0x02, 0x0F}},
        NumberCase{0x103, 45, {0x80, 0x80, 0x04, 0x05}},
        NumberCase{2, 0x10005, {0x00, 0x00, 0x00, 0x05}},
        NumberCase{1, 0xFFFF00A0, {0x80, 0x80, 0x0A, 0x00}}),
    [](const auto &p) {
      char name[48];
      std::snprintf(name, sizeof name, "Mode%XValue%X", p.param.mode,
                    p.param.value);
      return std::string(name);
    });

TEST_F(SignalExport, UnknownModesSendNothing) {
  ASSERT_EQ(TAVO_7SegNum(handle, 2, 1234), 0u);
  Forget();
  for (uint32_t mode : {4u, 5u, 0xFFu, 0x1FFu}) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(TAVO_7SegNum(handle, mode, 0), 0x2273u);
  }
  EXPECT_TRUE(d.frames.empty());
  EXPECT_EQ(Shown(), (Digits{0x01, 0x02, 0x03, 0x04}));
}

TEST_F(SignalExport, DotsAndDigitsAreKeptApart) {
  ASSERT_EQ(TAVO_7SegNum(handle, 2, 1234), 0u);
  Forget();
  ASSERT_EQ(TAVO_7SegDot(handle, 0x05), 0u);
  EXPECT_EQ(Sent(), Display(0x05, 0x01, 0x02, 0x03, 0x04));
  Forget();
  ASSERT_EQ(TAVO_7SegNum(handle, 3, 42), 0u);
  EXPECT_EQ(Sent(), Display(0x05, 0x80, 0x80, 0x04, 0x02));
  Forget();
  const uint8_t patterns[4] = {0x00, 0x3F, 0x06, 0x7F};
  ASSERT_EQ(TAVO_7SegPtn(handle, patterns), 0u);
  EXPECT_EQ(Sent(), Display(0x05, 0x80, 0xBF, 0x86, 0xFF));
  EXPECT_EQ(Shown(), (Digits{0x80, 0xBF, 0x86, 0xFF}));
  Forget();
  ASSERT_EQ(TAVO_7SegDot(handle, 0x1F0), 0u);  // low 8 bits
  EXPECT_EQ(Sent(), Display(0xF0, 0x80, 0xBF, 0x86, 0xFF));
  EXPECT_EQ(Unit.SegDots, 0xF0);
}

TEST_F(SignalExport, RefusedDisplayCommandKeepsTheOldState) {
  ASSERT_EQ(TAVO_7SegNum(handle, 2, 1234), 0u);
  ASSERT_EQ(TAVO_7SegDot(handle, 0x01), 0u);
  const uint8_t patterns[4] = {0x01, 0x02, 0x03, 0x04};
  struct Case {
    const char *name;
    std::function<uint32_t()> call;
    uint32_t code;
  };
  const Case cases[] = {
      {"dots", [&] { return TAVO_7SegDot(handle, 0x0E); }, 0x2179},
      {"number", [&] { return TAVO_7SegNum(handle, 0, 0xABCD); }, 0x2279},
      {"patterns", [&] { return TAVO_7SegPtn(handle, patterns); }, 0x2379},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    unit.Override({0xF3}, kNone);
    EXPECT_EQ(c.call(), c.code);
    EXPECT_EQ(Unit.SegDots, 0x01);
    EXPECT_EQ(Shown(), (Digits{0x01, 0x02, 0x03, 0x04}));
  }
  // The next command still carries the old mask and digits.
  Forget();
  ASSERT_EQ(TAVO_7SegDot(handle, 0x01), 0u);
  EXPECT_EQ(Sent(), Display(0x01, 0x01, 0x02, 0x03, 0x04));
}

TEST_F(SignalExport, OpenBlanksTheDisplayAgain) {
  ASSERT_EQ(TAVO_7SegNum(handle, 2, 1234), 0u);
  ASSERT_EQ(TAVO_7SegDot(handle, 0x0F), 0u);
  ASSERT_EQ(TAVO_Close(handle), 0u);
  Open();
  ASSERT_EQ(TAVO_7SegDot(handle, 0x00), 0u);
  EXPECT_EQ(Sent(), Display(0x00, 0x80, 0x80, 0x80, 0x80));
}

TEST_F(SignalExport, NullPatternsAreRefused) {
  EXPECT_EQ(TAVO_7SegPtn(handle, nullptr), 0x2373u);
  EXPECT_EQ(TAVO_BuzzCtrl(handle, 1, nullptr), 0x2473u);
  EXPECT_EQ(TAVO_BuzzCtrl(handle, 0x100, nullptr), 0u);  // count 0
  EXPECT_EQ(TAVO_BuzzCtrl(handle, 0, nullptr), 0u);
  EXPECT_EQ(d.frames, std::vector<Bytes>(2, BoardWrite({0x75})));
}

TEST_F(SignalExport, BuzzerPatternEndsAtFFAtTheCountOrAfter32Bytes) {
  std::vector<uint8_t> rising(40);
  for (size_t i = 0; i < rising.size(); ++i)
    rising[i] = static_cast<uint8_t>(i + 1);
  struct Case {
    const char *name;
    uint32_t count;
    std::vector<uint8_t> pattern;
    size_t sent;  // pattern bytes sent
  };
  const Case cases[] = {
      {"stops at FF", 5, {0x10, 0x20, 0xFF, 0x30, 0x40}, 2},
      {"count first", 3, {0x10, 0x20, 0x30, 0xFF}, 3},
      {"FF first", 5, {0xFF, 0x10}, 0},
      {"count zero", 0, {0x10}, 0},
      {"count 40", 40, rising, 32},
      {"count 32", 32, rising, 32},
      {"count 31", 31, rising, 31},
      {"count in low 8 bits", 0x105, rising, 5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Forget();
    ASSERT_EQ(TAVO_BuzzCtrl(handle, c.count, c.pattern.data()), 0u);
    Bytes payload{0x75};
    for (size_t i = 0; i < c.sent; ++i) payload.push_back(c.pattern[i]);
    EXPECT_EQ(Sent(), BoardWrite(payload));
  }
}

TEST_F(SignalExport, OutputPortAndUserCounters) {
  struct Case {
    const char *name;
    std::function<uint32_t(uint32_t)> call;
    Bytes payload;
  };
  const Case cases[] = {
      {"port",
       [](uint32_t h) { return TAVO_OutputPort(h, 0x5A); },
       {0x71, 0x5A}},
      {"port low 8 bits",
       [](uint32_t h) { return TAVO_OutputPort(h, 0x1A5); },
       {0x71, 0xA5}},
      {"counter 2",
       [](uint32_t h) { return TAVO_UserCnt(h, 2, 3); },
       {0x72, 0x20, 0x03}},
      {"counter 1",
       [](uint32_t h) { return TAVO_UserCnt(h, 1, 0xFF); },
       {0x72, 0x10, 0xFF}},
      {"low 8 bits",
       [](uint32_t h) { return TAVO_UserCnt(h, 0x102, 0x105); },
       {0x72, 0x20, 0x05}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Forget();
    ASSERT_EQ(c.call(handle), 0u);
    EXPECT_EQ(Sent(), BoardWrite(c.payload));
  }
  Forget();
  for (uint32_t counter : {0u, 3u, 0x10u, 0x100u}) {
    SCOPED_TRACE(counter);
    EXPECT_EQ(TAVO_UserCnt(handle, counter, 1), 0x2673u);
  }
  EXPECT_TRUE(d.frames.empty());
}

struct SignalCall {
  const char *name;
  uint8_t fn;
  std::function<uint32_t(uint32_t)> call;
};

const uint8_t kPatterns[4] = {0x01, 0x02, 0x04, 0x08};

const SignalCall kSignals[] = {
    {"7SegDot", 0x21, [](uint32_t h) { return TAVO_7SegDot(h, 0x01); }},
    {"7SegNum", 0x22, [](uint32_t h) { return TAVO_7SegNum(h, 2, 10); }},
    {"7SegPtn", 0x23, [](uint32_t h) { return TAVO_7SegPtn(h, kPatterns); }},
    {"BuzzCtrl", 0x24,
     [](uint32_t h) { return TAVO_BuzzCtrl(h, 4, kPatterns); }},
    {"OutputPort", 0x25, [](uint32_t h) { return TAVO_OutputPort(h, 0x01); }},
    {"UserCnt", 0x26, [](uint32_t h) { return TAVO_UserCnt(h, 1, 1); }},
};

TEST_F(SignalExport, RefusedOrUnansweredCommandsGiveReason79) {
  for (const SignalCall &s : kSignals) {
    for (const Bytes &reply : {kNone, sale::kSilence, sale::kAck}) {
      SCOPED_TRACE(s.name);
      Forget();
      if (reply != sale::kAck) unit.Override({0xF3}, reply);
      uint32_t expected =
          reply == sale::kAck ? 0u : (uint32_t{s.fn} << 8 | 0x79);
      EXPECT_EQ(s.call(handle), expected);
      EXPECT_EQ(d.frames.size(), 1u) << "a refused command is not repeated";
    }
  }
}

TEST_F(SignalExport, WorkInsideATradeWithoutRefreshing) {
  ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
  unit.coin.status = 0x01;  // a refresh would switch it off
  for (const SignalCall &s : kSignals) {
    SCOPED_TRACE(s.name);
    Forget();
    EXPECT_EQ(s.call(handle), 0u);
    ASSERT_EQ(d.frames.size(), 1u);
    EXPECT_EQ(d.frames[0][0], 0xF3);
  }
}

TEST_F(SignalExport, HandleChecks) {
  for (const SignalCall &s : kSignals) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(s.call(handle + 1), uint32_t{s.fn} << 8 | 0x02);
  }
  ASSERT_EQ(TAVO_Close(handle), 0u);
  Forget();
  for (const SignalCall &s : kSignals) {
    SCOPED_TRACE(s.name);
    for (uint32_t h : {0u, handle, 0x12345678u}) {
      EXPECT_EQ(s.call(h), uint32_t{s.fn} << 8 | 0x01);
    }
  }
  EXPECT_TRUE(d.calls.empty());
}

}  // namespace
