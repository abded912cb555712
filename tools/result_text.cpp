#include "result_text.h"

#include <algorithm>
#include <cstdio>

namespace tavo {
namespace {

struct Export {
  uint8_t number;
  const char *name;
};

constexpr Export kExports[] = {
    {0x01, "TAVO_Open"},          {0x02, "TAVO_Close"},
    {0x03, "TAVO_ClearBackup"},   {0x04, "TAVO_Reset"},
    {0x05, "TAVO_GetPCBData"},    {0x06, "TAVO_GetTAVOData"},
    {0x07, "TAVO_GetBackupData"}, {0x10, "TAVO_TradeBegin"},
    {0x11, "TAVO_TradeEnd"},      {0x12, "TAVO_AcceptEx"},
    {0x13, "TAVO_Charge"},        {0x14, "TAVO_PayBack"},
    {0x15, "TAVO_PayOut"},        {0x21, "TAVO_7SegDot"},
    {0x22, "TAVO_7SegNum"},       {0x23, "TAVO_7SegPtn"},
    {0x24, "TAVO_BuzzCtrl"},      {0x25, "TAVO_OutputPort"},
    {0x26, "TAVO_UserCnt"},
};

// How the low bits of a code in a range read.
enum class Detail {
  None,
  PlusFailures,   // code = first - 1 + n: n names the failed exchanges
  MinusFailures,  // code = base - n (the waits: 0x1150 - n)
};

struct Entry {
  uint16_t first;
  uint16_t last;
  const char *who;  // the export, or the shared step that produced it
  const char *text;
  Detail detail = Detail::None;
};

// Reasons that every export with a handle shares, by high byte.
constexpr uint8_t kHandleExports[] = {0x01, 0x04, 0x05, 0x06, 0x07, 0x10,
                                      0x11, 0x12, 0x13, 0x14, 0x15, 0x21,
                                      0x22, 0x23, 0x24, 0x25, 0x26};

const Entry kOwnCodes[] = {
    // Connection control.
    {0x0111, 0x0111, "TAVO_Open", "a unit is already open"},
    {0x0112, 0x0112, "TAVO_Open", "the driver did not give its device count"},
    {0x0113, 0x0113, "TAVO_Open", "no device is attached"},
    {0x0114, 0x0114, "TAVO_Open",
     "no attached device could be opened and accepted"},
    {0x0115, 0x0115, "TAVO_Open", "the board did not answer its hello"},
    {0x0116, 0x0116, "TAVO_Open", "a step of the board's start-up failed"},
    {0x0117, 0x0117, "TAVO_Open",
     "a money unit answered its hello but could not be read"},
    {0x0119, 0x0119, "TAVO_Open",
     "a money unit could not be settled (the unit is open)"},
    {0x0122, 0x0122, "TAVO_ClearBackup",
     "the board did not accept the clear-backup command"},
    {0x0123, 0x0123, "TAVO_ClearBackup",
     "the board data could not be read again"},
    {0x0173, 0x0173, "TAVO_Open", "the handle variable is a null pointer"},
    {0x0421, 0x0421, "TAVO_Reset",
     "the board did not acknowledge the stop (the unit stays open)"},
    {0x0422, 0x0422, "TAVO_Reset",
     "the board did not go into its reset (the unit stays open)"},
    // Status queries.
    {0x0531, 0x0537, "TAVO_GetPCBData", "the status refresh failed",
     Detail::PlusFailures},
    {0x0573, 0x0573, "TAVO_GetPCBData", "the buffer is a null pointer"},
    {0x0631, 0x0637, "TAVO_GetTAVOData", "the status refresh failed",
     Detail::PlusFailures},
    {0x0673, 0x0673, "TAVO_GetTAVOData", "the buffer is a null pointer"},
    {0x0773, 0x0773, "TAVO_GetBackupData", "the buffer is a null pointer"},
    {0x0851, 0x0851, "note follow-up",
     "a status refresh failed while waiting for the note unit to stop"},
    {0x0853, 0x0853, "note follow-up",
     "the note unit did not report stopped within ten tries"},
    {0x0864, 0x0864, "note follow-up",
     "the note unit did not accept the inhibit command"},
    {0x0865, 0x0865, "note follow-up",
     "the note unit did not accept the settle command for a held note"},
    {0x0878, 0x0878, "note follow-up",
     "the board did not accept the count of a taken-in note (repeated by "
     "the next call)"},
    // Trades.
    {0x1003, 0x1003, "TAVO_TradeBegin", "a trade is already open"},
    {0x1004, 0x1004, "TAVO_TradeBegin",
     "a command to a money unit is still pending"},
    {0x1031, 0x1037, "TAVO_TradeBegin", "the full read of the units failed",
     Detail::PlusFailures},
    {0x1072, 0x1072, "TAVO_TradeBegin",
     "the board did not accept the trade's counter reset"},
    {0x1103, 0x1103, "TAVO_TradeEnd", "no trade is open"},
    {0x1104, 0x1104, "TAVO_TradeEnd",
     "a command to a money unit is still pending (poll TAVO_GetTAVOData)"},
    {0x1131, 0x1137, "TAVO_TradeEnd", "the first status refresh failed",
     Detail::PlusFailures},
    {0x1141, 0x1147, "TAVO_TradeEnd",
     "the status refresh after the wait failed", Detail::PlusFailures},
    {0x1149, 0x114F, "TAVO_TradeEnd",
     "a status refresh while waiting for the units to stop failed",
     Detail::MinusFailures},
    {0x1152, 0x1152, "TAVO_TradeEnd",
     "the coin unit did not report stopped in time"},
    {0x1153, 0x1153, "TAVO_TradeEnd",
     "the note unit did not report stopped in time"},
    {0x1154, 0x1154, "TAVO_TradeEnd",
     "neither money unit reported stopped in time"},
    {0x1162, 0x1162, "TAVO_TradeEnd",
     "the coin unit did not accept the inhibit command"},
    {0x1164, 0x1164, "TAVO_TradeEnd",
     "the note unit did not accept the inhibit command"},
    {0x1166, 0x1166, "TAVO_TradeEnd",
     "the coin unit did not accept the settle command"},
    {0x1167, 0x1167, "TAVO_TradeEnd",
     "the note unit did not accept the settle command"},
    {0x1171, 0x1171, "TAVO_TradeEnd",
     "the customer still has credit: charge it or pay it back first"},
    {0x1172, 0x1172, "TAVO_TradeEnd",
     "the board did not accept the trade's counter reset"},
    {0x1203, 0x1203, "TAVO_AcceptEx", "no trade is open"},
    {0x1204, 0x1204, "TAVO_AcceptEx",
     "a command to a money unit is still pending"},
    {0x1205, 0x1205, "TAVO_AcceptEx", "a money unit reports a payout"},
    {0x1231, 0x1237, "TAVO_AcceptEx", "the status refresh failed",
     Detail::PlusFailures},
    {0x1261, 0x1261, "acceptance control",
     "the coin unit did not accept the enable command"},
    {0x1262, 0x1262, "acceptance control",
     "the coin unit did not accept the inhibit command"},
    {0x1263, 0x1263, "acceptance control",
     "the note unit did not accept the enable command"},
    {0x1264, 0x1264, "acceptance control",
     "the note unit did not accept the inhibit command"},
    // Charge and payout.
    {0x1303, 0x1303, "TAVO_Charge", "no trade is open"},
    {0x1304, 0x1304, "TAVO_Charge",
     "a command to a money unit is still pending"},
    {0x1305, 0x1305, "TAVO_Charge", "a money unit reports a payout"},
    {0x1331, 0x1337, "TAVO_Charge", "the first status refresh failed",
     Detail::PlusFailures},
    {0x1341, 0x1347, "acceptance control",
     "the status refresh after a charge or a switch of acceptance failed",
     Detail::PlusFailures},
    {0x1373, 0x1373, "TAVO_Charge", "the amount is 0 or above 32767"},
    {0x1374, 0x1374, "TAVO_Charge", "the amount is above the credit"},
    {0x1375, 0x1375, "TAVO_Charge",
     "the change that would remain cannot be paid from the stock"},
    {0x1376, 0x1376, "TAVO_Charge",
     "the board did not accept the charge (nothing was charged)"},
    {0x1403, 0x1403, "TAVO_PayBack", "no trade is open"},
    {0x1404, 0x1404, "TAVO_PayBack",
     "a command to a money unit is still pending"},
    {0x1405, 0x1405, "TAVO_PayBack", "a money unit reports a payout"},
    {0x1431, 0x1437, "TAVO_PayBack", "the first status refresh failed",
     Detail::PlusFailures},
    {0x1449, 0x144F, "TAVO_PayBack",
     "a status refresh while waiting for the units to stop failed",
     Detail::MinusFailures},
    {0x1452, 0x1452, "TAVO_PayBack",
     "the coin unit did not report stopped in time"},
    {0x1453, 0x1453, "TAVO_PayBack",
     "the note unit did not report stopped in time"},
    {0x1454, 0x1454, "TAVO_PayBack",
     "neither money unit reported stopped in time"},
    {0x1462, 0x1462, "TAVO_PayBack",
     "the coin unit did not accept the inhibit command"},
    {0x1464, 0x1464, "TAVO_PayBack",
     "the note unit did not accept the inhibit command"},
    {0x1467, 0x1467, "TAVO_PayBack",
     "the coin payout failed (a note payout may be running)"},
    {0x1468, 0x1468, "TAVO_PayBack",
     "the note payout failed (nothing was paid)"},
    {0x1477, 0x1477, "TAVO_PayBack",
     "the credit cannot be paid from the stock (nothing was paid)"},
    {0x1503, 0x1503, "TAVO_PayOut", "no trade is open"},
    {0x1504, 0x1504, "TAVO_PayOut",
     "a command to a money unit is still pending"},
    {0x1505, 0x1505, "TAVO_PayOut", "a money unit reports a payout"},
    {0x1531, 0x1537, "TAVO_PayOut", "the first status refresh failed",
     Detail::PlusFailures},
    {0x1549, 0x154F, "TAVO_PayOut",
     "a status refresh while waiting for the units to stop failed",
     Detail::MinusFailures},
    {0x1552, 0x1552, "TAVO_PayOut",
     "the coin unit did not report stopped in time"},
    {0x1553, 0x1553, "TAVO_PayOut",
     "the note unit did not report stopped in time"},
    {0x1554, 0x1554, "TAVO_PayOut",
     "neither money unit reported stopped in time"},
    {0x1562, 0x1562, "TAVO_PayOut",
     "the coin unit did not accept the inhibit command"},
    {0x1564, 0x1564, "TAVO_PayOut",
     "the note unit did not accept the inhibit command"},
    {0x1567, 0x1567, "TAVO_PayOut",
     "the coin payout failed (a note payout may be running)"},
    {0x1568, 0x1568, "TAVO_PayOut",
     "the note payout failed (nothing was paid)"},
    {0x1577, 0x1577, "TAVO_PayOut",
     "the amount cannot be paid from the stock (nothing was paid)"},
    // Display and signals.
    {0x2179, 0x2179, "TAVO_7SegDot", "the board refused the display command"},
    {0x2273, 0x2273, "TAVO_7SegNum", "the mode is not 0, 1, 2 or 3"},
    {0x2279, 0x2279, "TAVO_7SegNum", "the board refused the display command"},
    {0x2373, 0x2373, "TAVO_7SegPtn", "the pattern pointer is null"},
    {0x2379, 0x2379, "TAVO_7SegPtn", "the board refused the display command"},
    {0x2473, 0x2473, "TAVO_BuzzCtrl",
     "the pattern pointer is null with a count above 0"},
    {0x2479, 0x2479, "TAVO_BuzzCtrl", "the board refused the buzzer command"},
    {0x2579, 0x2579, "TAVO_OutputPort", "the board refused the port command"},
    {0x2673, 0x2673, "TAVO_UserCnt", "the counter number is not 1 or 2"},
    {0x2679, 0x2679, "TAVO_UserCnt", "the board refused the counter command"},
};

std::string Failures(int n) {
  std::string s;
  const char *names[] = {"coin unit", "note unit", "board"};
  for (int bit = 0; bit < 3; ++bit) {
    if (n & (1 << bit)) {
      if (!s.empty()) s += ", ";
      s += names[bit];
    }
  }
  return s;
}

std::string Hex(uint32_t code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", code & 0xFFFFu);
  return text;
}

const Entry *FindOwn(uint32_t code) {
  for (const Entry &e : kOwnCodes) {
    if (code >= e.first && code <= e.last) return &e;
  }
  return nullptr;
}

bool IsHandleCode(uint32_t code) {
  uint32_t reason = code & 0xFF;
  if (reason != 0x01 && reason != 0x02) return false;
  uint32_t high = code >> 8;
  if (high == 0x02) return reason == 0x01;  // TAVO_Close: no handle check
  return std::find(std::begin(kHandleExports), std::end(kHandleExports),
                   high) != std::end(kHandleExports);
}

}  // namespace

const char *ExportName(uint32_t functionNumber) {
  for (const Export &e : kExports) {
    if (e.number == functionNumber) return e.name;
  }
  return nullptr;
}

bool IsKnownResult(uint32_t code) {
  if (code > 0xFFFF) return false;
  if (code == 0) return true;
  if (code < 0x100) return ExportName(code) != nullptr;
  return IsHandleCode(code) || FindOwn(code) != nullptr;
}

std::string ResultText(uint32_t code) {
  if (!IsKnownResult(code)) return "unknown result code " + Hex(code);
  if (code == 0) return "success";
  if (code < 0x100) {
    return std::string("busy: ") + ExportName(code) +
           " is running; nothing was done";
  }
  if (IsHandleCode(code)) {
    // TAVO_Open never returns 0x0101/0x0102: those are TAVO_ClearBackup's.
    uint32_t high = code >> 8;
    const char *who = high == 0x01 ? "TAVO_ClearBackup" : ExportName(high);
    return std::string(who) + ": " +
           ((code & 0xFF) == 0x01 ? "no unit is open"
                                  : "the handle is not the open unit's");
  }
  const Entry &e = *FindOwn(code);
  std::string text = std::string(e.who) + ": " + e.text;
  if (e.detail == Detail::PlusFailures) {
    text += " (" + Failures(static_cast<int>(code - e.first + 1)) + ")";
  } else if (e.detail == Detail::MinusFailures) {
    text += " (" + Failures(static_cast<int>(e.last + 1 - code)) + ")";
  }
  return text;
}

std::vector<uint16_t> AllResultCodes() {
  std::vector<uint16_t> codes;
  for (uint32_t code = 0; code <= 0xFFFF; ++code) {
    if (IsKnownResult(code)) codes.push_back(static_cast<uint16_t>(code));
  }
  return codes;
}

}  // namespace tavo
