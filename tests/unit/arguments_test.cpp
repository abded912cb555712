// Every export called the wrong way: before open, after close, with handle
// 0, all ones and a stale handle, twice in a row, with every null buffer and
// every out-of-range mode, counter and amount. Each call must give the code
// tavoctl.h documents for it and leave the busy guard free; a call refused
// for its handle sends nothing to the unit.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "api/frame.h"
#include "sale_fixture.h"

namespace {

using fake::Bytes;

std::string Hex(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", code);
  return text;
}

using Call = std::function<uint32_t(uint32_t handle)>;

// The exports that take the open unit's handle and compare it, each with
// arguments that are right, and the high byte of its codes.
struct Export {
  const char *name;
  uint8_t codes;
  Call call;
};

const uint8_t kPattern[4] = {0x3F, 0x06, 0x5B, 0x4F};
const uint8_t kTune[3] = {0x11, 0x22, 0xFF};

const std::vector<Export> &HandleExports() {
  static PcbData pcb;
  static TavoData tavo;
  static const std::vector<Export> exports = {
      {"TAVO_Reset", 0x04, [](uint32_t h) { return TAVO_Reset(h); }},
      {"TAVO_ClearBackup", 0x01,
       [](uint32_t h) { return TAVO_ClearBackup(h); }},
      {"TAVO_GetPCBData", 0x05,
       [](uint32_t h) { return TAVO_GetPCBData(h, &pcb); }},
      {"TAVO_GetTAVOData", 0x06,
       [](uint32_t h) { return TAVO_GetTAVOData(h, &tavo); }},
      {"TAVO_GetBackupData", 0x07,
       [](uint32_t h) { return TAVO_GetBackupData(h, &tavo); }},
      {"TAVO_TradeBegin", 0x10, [](uint32_t h) { return TAVO_TradeBegin(h); }},
      {"TAVO_TradeEnd", 0x11, [](uint32_t h) { return TAVO_TradeEnd(h); }},
      {"TAVO_AcceptEx", 0x12,
       [](uint32_t h) { return TAVO_AcceptEx(h, 1000, 3); }},
      {"TAVO_Accept", 0x12, [](uint32_t h) { return TAVO_Accept(h, 1000); }},
      {"TAVO_Charge", 0x13, [](uint32_t h) { return TAVO_Charge(h, 100); }},
      {"TAVO_PayBack", 0x14, [](uint32_t h) { return TAVO_PayBack(h); }},
      {"TAVO_PayOut", 0x15, [](uint32_t h) { return TAVO_PayOut(h, 500); }},
      {"TAVO_7SegDot", 0x21, [](uint32_t h) { return TAVO_7SegDot(h, 0x0F); }},
      {"TAVO_7SegNum", 0x22,
       [](uint32_t h) { return TAVO_7SegNum(h, 3, 1234); }},
      {"TAVO_7SegPtn", 0x23,
       [](uint32_t h) { return TAVO_7SegPtn(h, kPattern); }},
      {"TAVO_BuzzCtrl", 0x24,
       [](uint32_t h) { return TAVO_BuzzCtrl(h, 3, kTune); }},
      {"TAVO_OutputPort", 0x25,
       [](uint32_t h) { return TAVO_OutputPort(h, 0x81); }},
      {"TAVO_UserCnt", 0x26, [](uint32_t h) { return TAVO_UserCnt(h, 1, 5); }},
  };
  return exports;
}

// How the unit stands when the call is made.
enum class Unit {
  Closed,  // never opened
  Open,    // open, no trade
  Trade,   // a trade open, 1000 in coins as credit, coins in stock
  Empty,   // a trade open with no credit
};

class Arguments : public sale::SaleTest {
 protected:
  void Arrange(Unit state) {
    Restart();
    if (state == Unit::Closed) return;
    for (uint8_t &s : unit.coin.stock) s = 20;
    if (state == Unit::Open) {
      ASSERT_NO_FATAL_FAILURE(Open());
      return;
    }
    ASSERT_NO_FATAL_FAILURE(OpenTrade());
    if (state == Unit::Trade) unit.InsertCoins(500, 2);
  }

  // How the handle of a refused call came to be wrong.
  enum class Wrong { BeforeOpen, AfterClose, Zero, AllOnes, Stale };

  // Brings the library there; returns the handle to call with.
  uint32_t WrongHandle(Wrong how) {
    if (how == Wrong::BeforeOpen) return 1;
    Open();
    uint32_t first = handle;
    switch (how) {
      case Wrong::AfterClose:
        EXPECT_EQ(TAVO_Close(first), 0u);
        return first;
      case Wrong::Zero:
        return 0;
      case Wrong::AllOnes:
        return 0xFFFFFFFFu;
      default:
        EXPECT_EQ(TAVO_Close(first), 0u);
        Open();
        EXPECT_NE(first, handle) << "each open hands out a new handle";
        return first;
    }
  }

  // The call gave `code`, left the guard free, and (when `silent`) made
  // no driver call at all.
  void Expect(const Call &call, uint32_t h, uint32_t code, bool silent) {
    Forget();
    EXPECT_EQ(Hex(call(h)), Hex(code));
    EXPECT_EQ(ApiBusy.load(), 0);
    if (silent) {
      EXPECT_TRUE(d.calls.empty()) << d.calls.size() << " driver calls";
    }
  }
};

TEST_F(Arguments, WithoutTheOpenUnitsHandleEveryExportIsRefused) {
  struct Situation {
    const char *name;
    Wrong how;
    uint8_t reason;
  };
  const Situation situations[] = {
      {"before open", Wrong::BeforeOpen, TAVO_REASON_NOT_OPEN},
      {"after close", Wrong::AfterClose, TAVO_REASON_NOT_OPEN},
      {"handle 0", Wrong::Zero, TAVO_REASON_WRONG_HANDLE},
      {"handle all ones", Wrong::AllOnes, TAVO_REASON_WRONG_HANDLE},
      {"a stale handle", Wrong::Stale, TAVO_REASON_WRONG_HANDLE},
  };
  for (const Situation &s : situations) {
    for (const Export &e : HandleExports()) {
      SCOPED_TRACE(std::string(e.name) + ", " + s.name);
      Arrange(Unit::Closed);
      uint32_t h = WrongHandle(s.how);
      Expect(e.call, h, TAVO_CODE(e.codes, s.reason), true);
    }
  }
}

struct Case {
  const char *name;
  Unit unit;
  Call call;
  uint32_t code;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class ArgumentTable : public Arguments,
                      public ::testing::WithParamInterface<Case> {};

TEST_P(ArgumentTable, GivesItsDocumentedCode) {
  const Case &c = GetParam();
  ASSERT_NO_FATAL_FAILURE(Arrange(c.unit));
  // A refused argument is refused before the unit is asked anything, except
  // where the export must first know that a trade is open and ready.
  bool silent = c.code != 0 && c.unit != Unit::Trade;
  Expect(c.call, handle, c.code, silent);
}

PcbData pcb;
TavoData tavo;

INSTANTIATE_TEST_SUITE_P(
    Table, ArgumentTable,
    ::testing::Values(
        // TAVO_Open and TAVO_Close take no handle to compare.
        Case{"OpenNullPointer", Unit::Closed,
             [](uint32_t) { return TAVO_Open(nullptr); }, 0x0173},
        Case{"OpenWhileOpen", Unit::Open,
             [](uint32_t) {
               uint32_t h = 0xDEAD;
               return TAVO_Open(&h);
             },
             0x0111},
        Case{"OpenNullPointerWhileOpen", Unit::Open,
             [](uint32_t) { return TAVO_Open(nullptr); }, 0x0111},
        Case{"CloseNothingOpen", Unit::Closed,
             [](uint32_t) { return TAVO_Close(0x5EED); }, 0x0201},
        Case{"CloseHandleZeroStillCloses", Unit::Open,
             [](uint32_t) { return TAVO_Close(0); }, 0},
        Case{"CloseAllOnesStillCloses", Unit::Open,
             [](uint32_t) { return TAVO_Close(0xFFFFFFFFu); }, 0},
        // Null buffers.
        Case{"GetPCBDataNull", Unit::Open,
             [](uint32_t h) { return TAVO_GetPCBData(h, nullptr); }, 0x0573},
        Case{"GetTAVODataNull", Unit::Open,
             [](uint32_t h) { return TAVO_GetTAVOData(h, nullptr); }, 0x0673},
        Case{"GetBackupDataNull", Unit::Open,
             [](uint32_t h) { return TAVO_GetBackupData(h, nullptr); }, 0x0773},
        Case{"SegPtnNull", Unit::Open,
             [](uint32_t h) { return TAVO_7SegPtn(h, nullptr); }, 0x2373},
        Case{"BuzzNullWithCount", Unit::Open,
             [](uint32_t h) { return TAVO_BuzzCtrl(h, 1, nullptr); }, 0x2473},
        Case{"BuzzNullWithCountFF", Unit::Open,
             [](uint32_t h) { return TAVO_BuzzCtrl(h, 0xFF, nullptr); },
             0x2473},
        Case{"BuzzNullCountZeroSilences", Unit::Open,
             [](uint32_t h) { return TAVO_BuzzCtrl(h, 0, nullptr); }, 0},
        Case{"BuzzNullCountLow8BitsZero", Unit::Open,
             [](uint32_t h) { return TAVO_BuzzCtrl(h, 0x100, nullptr); }, 0},
        // Display modes: the low 8 bits must be 0-3.
        Case{"SegNumMode4", Unit::Open,
             [](uint32_t h) { return TAVO_7SegNum(h, 4, 1); }, 0x2273},
        Case{"SegNumModeFF", Unit::Open,
             [](uint32_t h) { return TAVO_7SegNum(h, 0xFF, 1); }, 0x2273},
        Case{"SegNumMode104", Unit::Open,
             [](uint32_t h) { return TAVO_7SegNum(h, 0x104, 1); }, 0x2273},
        Case{"SegNumModeAllOnes", Unit::Open,
             [](uint32_t h) { return TAVO_7SegNum(h, 0xFFFFFFFFu, 1); },
             0x2273},
        Case{"SegNumMode103IsMode3", Unit::Open,
             [](uint32_t h) { return TAVO_7SegNum(h, 0x103, 1); }, 0},
        // User counters: the low 8 bits must be 1 or 2.
        Case{"UserCntCounter0", Unit::Open,
             [](uint32_t h) { return TAVO_UserCnt(h, 0, 1); }, 0x2673},
        Case{"UserCntCounter3", Unit::Open,
             [](uint32_t h) { return TAVO_UserCnt(h, 3, 1); }, 0x2673},
        Case{"UserCntCounter100", Unit::Open,
             [](uint32_t h) { return TAVO_UserCnt(h, 0x100, 1); }, 0x2673},
        Case{"UserCntCounterAllOnes", Unit::Open,
             [](uint32_t h) { return TAVO_UserCnt(h, 0xFFFFFFFFu, 1); },
             0x2673},
        Case{"UserCntCounter102IsCounter2", Unit::Open,
             [](uint32_t h) { return TAVO_UserCnt(h, 0x102, 1); }, 0},
        // Amounts: a charge is 1-32767; no amount has bits above the low 16.
        Case{"ChargeZero", Unit::Trade,
             [](uint32_t h) { return TAVO_Charge(h, 0); }, 0x1373},
        Case{"Charge8000", Unit::Trade,
             [](uint32_t h) { return TAVO_Charge(h, 0x8000); }, 0x1373},
        Case{"ChargeFFFF", Unit::Trade,
             [](uint32_t h) { return TAVO_Charge(h, 0xFFFF); }, 0x1373},
        Case{"ChargeAllOnes", Unit::Trade,
             [](uint32_t h) { return TAVO_Charge(h, 0xFFFFFFFFu); }, 0x1373},
        Case{"Charge10064", Unit::Trade,
             [](uint32_t h) { return TAVO_Charge(h, 0x10064); }, 0x1373},
        Case{"Charge80000064", Unit::Trade,
             [](uint32_t h) { return TAVO_Charge(h, 0x80000064u); }, 0x1373},
        Case{"PayOut10064", Unit::Trade,
             [](uint32_t h) { return TAVO_PayOut(h, 0x10064); }, 0x1573},
        Case{"PayOutAllOnes", Unit::Trade,
             [](uint32_t h) { return TAVO_PayOut(h, 0xFFFFFFFFu); }, 0x1573},
        // The money exports outside a trade.
        Case{"ChargeNoTrade", Unit::Open,
             [](uint32_t h) { return TAVO_Charge(h, 100); }, 0x1303},
        Case{"PayBackNoTrade", Unit::Open,
             [](uint32_t h) { return TAVO_PayBack(h); }, 0x1403},
        Case{"PayOutNoTrade", Unit::Open,
             [](uint32_t h) { return TAVO_PayOut(h, 100); }, 0x1503},
        Case{"AcceptNoTrade", Unit::Open,
             [](uint32_t h) { return TAVO_Accept(h, 100); }, 0x1203},
        Case{"TradeEndNoTrade", Unit::Open,
             [](uint32_t h) { return TAVO_TradeEnd(h); }, 0x1103}),
    [](const ::testing::TestParamInfo<Case> &p) { return p.param.name; });

// The same call twice in a row: the second gives what the first left.
struct Twice {
  const char *name;
  Unit unit;
  Call call;
  uint32_t first, second;
};

void PrintTo(const Twice &c, std::ostream *os) { *os << c.name; }

class TwiceInARow : public Arguments,
                    public ::testing::WithParamInterface<Twice> {};

TEST_P(TwiceInARow, TheSecondCallGivesItsDocumentedCode) {
  const Twice &c = GetParam();
  ASSERT_NO_FATAL_FAILURE(Arrange(c.unit));
  // A reset is confirmed by the board's silence after its second frame.
  const Bytes kReset = sale::BoardWrite({0x70, 0x80});
  unit.Override(kReset, fake::Status(0xBB));
  unit.Override(kReset, sale::kSilence);
  uint32_t h = handle;
  Expect(c.call, h, c.first, false);
  Expect(c.call, h, c.second, false);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TwiceInARow,
    ::testing::Values(
        Twice{"Open", Unit::Closed,
              [](uint32_t) {
                uint32_t h = 0;
                return TAVO_Open(&h);
              },
              0, 0x0111},
        Twice{"Close", Unit::Open, [](uint32_t h) { return TAVO_Close(h); }, 0,
              0x0201},
        Twice{"Reset", Unit::Open, [](uint32_t h) { return TAVO_Reset(h); }, 0,
              0x0401},
        Twice{"ClearBackup", Unit::Open,
              [](uint32_t h) { return TAVO_ClearBackup(h); }, 0, 0},
        Twice{"GetPCBData", Unit::Open,
              [](uint32_t h) { return TAVO_GetPCBData(h, &pcb); }, 0, 0},
        Twice{"GetTAVOData", Unit::Open,
              [](uint32_t h) { return TAVO_GetTAVOData(h, &tavo); }, 0, 0},
        Twice{"GetBackupData", Unit::Open,
              [](uint32_t h) { return TAVO_GetBackupData(h, &tavo); }, 0, 0},
        Twice{"TradeBegin", Unit::Open,
              [](uint32_t h) { return TAVO_TradeBegin(h); }, 0, 0x1003},
        Twice{"TradeEnd", Unit::Empty,
              [](uint32_t h) { return TAVO_TradeEnd(h); }, 0, 0x1103},
        Twice{"AcceptEx", Unit::Trade,
              [](uint32_t h) { return TAVO_AcceptEx(h, 2000, 3); }, 0, 0},
        Twice{"Accept", Unit::Trade,
              [](uint32_t h) { return TAVO_Accept(h, 2000); }, 0, 0},
        Twice{"Charge", Unit::Trade,
              [](uint32_t h) { return TAVO_Charge(h, 100); }, 0, 0},
        // The unit reports the payout at the next poll: the second call
        // finds it paying.
        Twice{"PayBack", Unit::Trade,
              [](uint32_t h) { return TAVO_PayBack(h); }, 0, 0x1405},
        Twice{"PayOut", Unit::Trade,
              [](uint32_t h) { return TAVO_PayOut(h, 500); }, 0, 0x1505},
        Twice{"SegDot", Unit::Open,
              [](uint32_t h) { return TAVO_7SegDot(h, 0x0F); }, 0, 0},
        Twice{"SegNum", Unit::Open,
              [](uint32_t h) { return TAVO_7SegNum(h, 3, 1234); }, 0, 0},
        Twice{"SegPtn", Unit::Open,
              [](uint32_t h) { return TAVO_7SegPtn(h, kPattern); }, 0, 0},
        Twice{"BuzzCtrl", Unit::Open,
              [](uint32_t h) { return TAVO_BuzzCtrl(h, 3, kTune); }, 0, 0},
        Twice{"OutputPort", Unit::Open,
              [](uint32_t h) { return TAVO_OutputPort(h, 0x81); }, 0, 0},
        Twice{"UserCnt", Unit::Open,
              [](uint32_t h) { return TAVO_UserCnt(h, 2, 9); }, 0, 0}),
    [](const ::testing::TestParamInfo<Twice> &p) { return p.param.name; });

}  // namespace
