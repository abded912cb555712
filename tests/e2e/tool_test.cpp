// The tavo tool: its table of result codes, and the tool run as a script
// would run it, against the virtual unit beside it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "result_text.h"
#include "tavoctl.h"

namespace {

struct TextCase {
  uint32_t code;
  const char *next;      // the table's `next` keyword, nullptr if unknown
  const char *expected;  // the message up to the advice on what to do next
};

class ResultTexts : public ::testing::TestWithParam<TextCase> {};

// The message is "EXPORT: meaning; advice" from data/result-codes.tsv; the
// meaning is checked whole, the advice only for being there.
TEST_P(ResultTexts, SayWhatTheCodeMeansAndWhatToDo) {
  const TextCase &c = GetParam();
  std::string text = tavo::ResultText(c.code);
  EXPECT_EQ(0u, text.rfind(c.expected, 0)) << text;
  if (c.next == nullptr) {
    EXPECT_EQ(nullptr, tavo::NextStep(c.code));
    EXPECT_EQ(c.expected, text);
  } else {
    ASSERT_NE(nullptr, tavo::NextStep(c.code));
    EXPECT_STREQ(c.next, tavo::NextStep(c.code));
    if (c.code != 0) {
      EXPECT_GT(text.size(), std::string(c.expected).size());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tool, ResultTexts,
    ::testing::Values(
        TextCase{0x0000, "none", "success"},
        TextCase{0x0013, "retry",
                 "busy: TAVO_Charge is running; nothing was done"},
        TextCase{0x0501, "reopen", "TAVO_GetPCBData: no unit is open"},
        TextCase{0x2602, "fix-call",
                 "TAVO_UserCnt: the handle is not the open unit's"},
        TextCase{0x0101, "reopen", "TAVO_ClearBackup: no unit is open"},
        TextCase{0x0201, "none", "TAVO_Close: no unit is open"},
        TextCase{0x0535, "retry",
                 "TAVO_GetPCBData: the status refresh failed (coin unit, "
                 "board)"},
        TextCase{0x1037, "retry",
                 "TAVO_TradeBegin: the full read of the units failed (coin "
                 "unit, note unit, board)"},
        TextCase{0x114E, "retry",
                 "TAVO_TradeEnd: a status refresh while waiting for the units "
                 "to stop failed (note unit)"},
        TextCase{0x1149, "retry",
                 "TAVO_TradeEnd: a status refresh while waiting for the units "
                 "to stop failed (coin unit, note unit, board)"},
        TextCase{0x1171, "pay-back",
                 "TAVO_TradeEnd: the customer still has credit"},
        TextCase{0x1343, "read-board",
                 "acceptance control: the status refresh after a charge or a "
                 "switch of acceptance failed (coin unit, note unit)"},
        TextCase{0x1375, "pay-back",
                 "TAVO_Charge: the change that would remain cannot be paid "
                 "from the stock"},
        TextCase{0x1567, "read-board",
                 "TAVO_PayOut: the coin payout was refused or never started "
                 "(a note payout may be running)"},
        TextCase{0x0878, "poll",
                 "note follow-up: the board did not accept the count of a "
                 "taken-in note"},
        TextCase{0x0118, nullptr, "unknown result code 0x0118"},
        TextCase{0x0202, nullptr, "unknown result code 0x0202"},
        TextCase{0x0027, nullptr, "unknown result code 0x0027"},
        TextCase{0x1338, nullptr, "unknown result code 0x1338"},
        TextCase{0x11375, nullptr, "unknown result code 0x11375"}),
    [](const auto &test) {
      char name[16];
      std::snprintf(name, sizeof name, "Code%05X", test.param.code);
      return std::string(name);
    });

// Every code the public header names, read from the header itself: single
// codes and ranges "0xAAAA-0xBBBB". Left out are the header's placeholders
// (high byte 0xFF), the busy range (each busy code is a function number), the
// base of the wait codes "0x1150 - n" and 0x0118, which open never returns.
std::set<uint32_t> CodesOfTheHeader() {
  std::ifstream header(TAVOCTL_HEADER);
  std::stringstream text;
  text << header.rdbuf();
  std::string all = text.str();
  std::set<uint32_t> codes;
  std::regex code("0x([0-9A-F]{4})(\\s*-\\s*0x([0-9A-F]{4}))?");
  for (std::sregex_iterator it(all.begin(), all.end(), code), end; it != end;
       ++it) {
    auto first = static_cast<uint32_t>(std::stoul((*it)[1].str(), nullptr, 16));
    uint32_t last =
        (*it)[3].matched
            ? static_cast<uint32_t>(std::stoul((*it)[3].str(), nullptr, 16))
            : first;
    for (uint32_t c = first; c <= last; ++c) {
      bool placeholder = (c >> 8) == 0xFF || c == 0x1150 || c == 0x0118;
      bool busyRange = c > 0 && c < 0x100;
      if (!placeholder && !busyRange) codes.insert(c);
    }
  }
  // TAVO_PayOut has TAVO_PayBack's codes with 0x15 in the high byte.
  std::set<uint32_t> payOut;
  for (uint32_t c : codes) {
    if ((c >> 8) == 0x14) payOut.insert(0x1500 | (c & 0xFF));
  }
  codes.insert(payOut.begin(), payOut.end());
  return codes;
}

TEST(ResultTable, CoversEveryCodeOfTheHeaderAndNothingElse) {
  std::set<uint32_t> header = CodesOfTheHeader();
  ASSERT_GT(header.size(), 150u) << "the header was not read";
  for (uint32_t code : header) {
    EXPECT_TRUE(tavo::IsKnownResult(code)) << std::hex << code;
  }
  for (uint16_t code : tavo::AllResultCodes()) {
    bool busy = code > 0 && code < 0x100;
    if (busy) {
      EXPECT_NE(nullptr, tavo::ExportName(code)) << std::hex << code;
    } else {
      EXPECT_EQ(1u, header.count(code))
          << std::hex << code << " is in the table but not in the header";
    }
    EXPECT_EQ(std::string::npos, tavo::ResultText(code).find("unknown"))
        << std::hex << code;
  }
}

struct Outcome {
  int exit;
  std::string out;
};

Outcome Tavo(const std::string &args) {
  std::string command = std::string(TAVO_EXE) + " " + args + " 2>&1";
  Outcome r{-1, {}};
  FILE *p = popen(command.c_str(), "r");
  if (!p) return r;
  std::array<char, 512> buffer;
  while (std::fgets(buffer.data(), buffer.size(), p)) r.out += buffer.data();
  int status = pclose(p);
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(ToolRun, DemoSellsAndBalances) {
  Outcome r = Tavo("demo");
  EXPECT_EQ(0, r.exit) << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find("sale balanced: price 1280, customer paid 1500, "
                       "change 220"))
      << r.out;
  EXPECT_NE(std::string::npos, r.out.find("2 coins of 100, 2 coins of 10"))
      << r.out;
}

TEST(ToolRun, DemoTraceDecodesTheWire) {
  Outcome r = Tavo("demo --trace --pay 500,500,500 --price 1500");
  EXPECT_EQ(0, r.exit) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("-> F0 0F   BoardHello")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("BoardWrite Counter charge 1500"));
  EXPECT_NE(std::string::npos, r.out.find("CoinCtrl settle"));
}

TEST(ToolRun, ProviderChosenByPathIsTheOneUsed) {
  Outcome r = Tavo(std::string("--provider ") + TAVOVU_SO + " demo");
  EXPECT_EQ(0, r.exit) << r.out;
#ifdef TAVOTTY_SO
  // The real-USB provider has no virtual customer: demo refuses, and the
  // commands reach (here absent) real devices.
  r = Tavo(std::string("--provider ") + TAVOTTY_SO + " demo");
  EXPECT_EQ(3, r.exit) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("demo plays the customer")) << r.out;
#endif
}

struct FailureCase {
  const char *args;
  int exit;
  const char *text;
};

class ToolFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ToolFailure, ExitsWithItsCodeAndSaysWhy) {
  Outcome r = Tavo(GetParam().args);
  EXPECT_EQ(GetParam().exit, r.exit) << r.out;
  EXPECT_NE(std::string::npos, r.out.find(GetParam().text)) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Tool, ToolFailure,
    ::testing::Values(
        FailureCase{"demo --fault no-change", 1,
                    "sale failed: 0x1375 TAVO_Charge: the change"},
        FailureCase{"demo --fault no-device", 1,
                    "0x0113: TAVO_Open: no device is attached"},
        FailureCase{"demo --fault silent", 1, "0x0115"},
        FailureCase{"demo --pay 10", 4, "paid 10 of 1280"},
        FailureCase{"sell 0", 2, "the price must be"},
        FailureCase{"sell 730", 0, "sold for 730: paid 1000, change 270"},
        FailureCase{"sell 730 --pay 100,100", 4, "paid 200 of 730"},
        FailureCase{"frobnicate", 2, "unknown command frobnicate"},
        FailureCase{"demo --fault fire", 2, "unknown fault fire"},
        FailureCase{"--provider /nonexistent/libftd2xx.so status", 3,
                    "cannot load the D2XX provider"},
        FailureCase{"--help", 0, "exit codes:"},
        FailureCase{"sell --help", 0, "usage: tavo sell PRICE"},
        FailureCase{"display 1234", 0, "digit codes 01 02 03 04"},
        FailureCase{"display 7 --mode 0", 0, "digit codes 00 00 00 07"},
        FailureCase{"beep 10 20 30", 0, "pattern of 3 bytes"},
        FailureCase{"status", 0, "coins 10x20 50x20 100x20 500x20, notes"},
        FailureCase{"reset", 0, "went into its reset"},
        FailureCase{"clear-backup", 0, "backup memory is cleared"},
        FailureCase{"codes", 0, "0x2679  retry       TAVO_UserCnt"},
        FailureCase{"codes 0x1375", 0,
                    "0x1375  pay-back    TAVO_Charge: the change"},
        FailureCase{"codes 4981", 0, "0x1375  pay-back    TAVO_Charge"},
        FailureCase{"codes 0x0118", 1, "unknown result code 0x0118"},
        FailureCase{"codes 0x10000", 2, "0x10000 is not a result code"},
        FailureCase{"codes 0x1375 0x1376", 2,
                    "codes: unexpected argument '0x1376'"},
        // Wrong usage always says what was wrong.
        FailureCase{"--version", 0, "tavo " TAVOCTL_VERSION_STRING},
        FailureCase{"sell 730 --pay 5000", 2, "not '5000'"},
        FailureCase{"sell 730 --pay ''", 2, "--pay takes amounts"},
        FailureCase{"display 12 --mode 9", 2, "--mode must be 0 to 3"},
        FailureCase{"--provider", 2, "--provider needs a value"},
        FailureCase{"status extra", 2, "status: unexpected argument 'extra'"},
        FailureCase{"demo 5", 2, "demo: unexpected argument '5'"},
        FailureCase{"sell", 2,
                    "usage: tavo sell PRICE [--pay LIST] [--wait SECONDS]"},
        FailureCase{"sell 0x2DA", 0, "sold for 730"},
        FailureCase{"display 0x10", 0, "shows 16"},
        FailureCase{"display 010", 0, "shows 10"},
        FailureCase{"display -1", 2, "the number must be 0 to 65535"},
        FailureCase{"beep 16 0xFF", 2, "not '0xFF'"},
        FailureCase{"--provider libc.so.6 status", 3,
                    "libc.so.6 is not a D2XX provider"}),
    [](const auto &test) {
      std::string name;
      for (const char *c = test.param.args; *c; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
      }
      return name;
    });

}  // namespace
