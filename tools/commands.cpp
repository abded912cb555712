// The tool's commands. Each opens the unit, does its work through the
// exports and closes the unit again; the virtual unit's own API is used only
// to play the customer, stage failures and show what the unit did.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "result_text.h"
#include "tool.h"

namespace tavo {

void Say(const char *step, const char *format, ...) {
  std::printf("  %-12s ", step);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
}

bool ArgumentsFit(const Tool &t, size_t allowed) {
  if (t.options.args.size() <= allowed) return true;
  UsageError(t.options.command.c_str(), "%s: unexpected argument '%s'",
             t.options.command.c_str(), t.options.args[allowed].c_str());
  return false;
}

bool Check(const char *what, uint32_t code) {
  if (code == 0) return true;
  std::printf("  %-12s failed with 0x%04X: %s\n", what, code,
              ResultText(code).c_str());
  return false;
}

namespace {

constexpr int kCoinValues[4] = {10, 50, 100, 500};

void Pause(const Tool &t, int milliseconds) {
  // The virtual unit answers at once; a real customer and a real unit need
  // time between polls.
  if (!t.vu.local) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

void TraceLine(void *context, const vu_trace_event *event) {
  const Tool *t = static_cast<const Tool *>(context);
  char text[640];
  t->vu.describe(event, text, sizeof text);
  std::printf("                 %s\n", text);
}

bool OpenUnit(Tool &t) {
  if (t.options.trace) {
    if (t.vu.local) {
      t.vu.setTrace(TraceLine, &t);
    } else {
      std::printf("  (--trace shows the wire of the virtual unit only)\n");
    }
  }
  uint32_t code = t.lib.Open(&t.handle);
  t.open = code == 0 || code == 0x0119;  // 0x0119 leaves the unit open
  bool ok = Check("open", code);
  if (code == 0x0113 || code == 0x0114) ExplainNoUnit(t);
  return ok;
}

void CloseUnit(Tool &t) {
  if (t.open) t.lib.Close(t.handle);
  t.open = false;
}

std::string Serial(const PcbData &p) {
  std::string s;
  for (uint8_t c : p.SerialNo) {
    if (c == 0) break;
    s += static_cast<char>(c);
  }
  return s;
}

bool Fitted(const uint8_t id[2]) { return id[0] || id[1]; }

std::string UnitId(const uint8_t id[2]) {
  if (!Fitted(id)) return "not fitted";
  char text[16];
  std::snprintf(text, sizeof text, "%02X %02X", id[0], id[1]);
  return text;
}

std::string Stock(const TavoData &d) {
  char text[96];
  std::snprintf(text, sizeof text,
                "coins 10x%d 50x%d 100x%d 500x%d, notes 1000x%d",
                d.CoinStock[0], d.CoinStock[1], d.CoinStock[2], d.CoinStock[3],
                d.BillStock);
  return text;
}

// What the units paid out in this trade, in words.
std::string PaidOut(const TavoData &d) {
  std::string s;
  char text[32];
  if (d.BillOut) {
    std::snprintf(text, sizeof text, "%d note%s of 1000", d.BillOut,
                  d.BillOut == 1 ? "" : "s");
    s += text;
  }
  for (int k = 3; k >= 0; --k) {
    if (!d.CoinOut[k]) continue;
    std::snprintf(text, sizeof text, "%s%d coin%s of %d", s.empty() ? "" : ", ",
                  d.CoinOut[k], d.CoinOut[k] == 1 ? "" : "s", kCoinValues[k]);
    s += text;
  }
  return s.empty() ? "nothing" : s;
}

// What the virtual customer inserts when the command line does not say:
// notes while more than 500 is missing, then the largest coin that does not
// overshoot by much, so that there is change to pay.
std::vector<int> CustomerPlan(int price) {
  std::vector<int> plan;
  int sum = 0;
  while (sum < price) {
    int missing = price - sum;
    int v = missing > 500   ? 1000
            : missing > 100 ? 500
            : missing > 50  ? 100
            : missing > 10  ? 50
                            : 10;
    plan.push_back(v);
    sum += v;
  }
  return plan;
}

struct Sale {
  int price = 0;
  int paid = 0;          // credit before the charge
  int change = 0;        // credit after the charge
  uint32_t failure = 0;  // the first failed export's code
  bool customerShort = false;
  uint32_t tradeId = 0;
};

bool Refresh(Tool &t, TavoData *d, PcbData *p, uint32_t *failure) {
  uint32_t code = t.lib.GetTAVOData(t.handle, d);
  if (code == 0) code = t.lib.GetPCBData(t.handle, p);
  if (code != 0 && *failure == 0) *failure = code;
  return Check("poll", code);
}

// Polls until what the library reports has settled: a note the library
// takes in from the escrow leaves the credit for one poll before it is
// counted, so a value is trusted once two polls in a row agree.
bool Steady(Tool &t, TavoData *d, PcbData *p, uint32_t *failure) {
  int lastCredit = -1, lastNotes = -1;
  for (int i = 0; i < 12; ++i) {
    if (!Refresh(t, d, p, failure)) return false;
    int notes = d->BillEscrow * 100 + d->BillStacked;
    if (p->Credit == lastCredit && notes == lastNotes) return true;
    lastCredit = p->Credit;
    lastNotes = notes;
    Pause(t, 100);
  }
  return true;
}

// Polls until the payout has been reported and nothing is pending.
bool AwaitPayout(Tool &t, TavoData *d, PcbData *p, uint32_t *failure) {
  for (int i = 0; i < 50; ++i) {
    if (!Refresh(t, d, p, failure)) return false;
    bool pending = (d->CoinFlags >> 24) || (d->BillFlags >> 24);
    if (!pending && p->Credit == 0) return true;
    Pause(t, 100);
  }
  Say("pay back", "the units did not report the payout");
  return false;
}

// Pays back whatever the customer has and closes the trade.
void Refund(Tool &t, Sale *sale) {
  TavoData d{};
  PcbData p{};
  uint32_t code = t.lib.PayBack(t.handle);
  if (!Check("pay back", code)) return;
  uint32_t ignored = 0;
  if (!AwaitPayout(t, &d, &p, &ignored)) return;
  Say("pay back", "the customer's money is paid back: %s", PaidOut(d).c_str());
  if (Check("trade end", t.lib.TradeEnd(t.handle))) {
    Say("trade end", "trade %u closed", sale->tradeId);
  }
}

// Inserts what the virtual customer pays, one piece at a time, polling the
// unit after each; or, on a real unit, waits for the customer.
void CustomerPays(Tool &t, Sale *sale, TavoData *d, PcbData *p) {
  if (!t.vu.local) {
    Say("customer", "waiting up to %d s for the customer to pay %d",
        t.options.waitSeconds, sale->price);
    auto end = std::chrono::steady_clock::now() +
               std::chrono::seconds(t.options.waitSeconds);
    int shown = -1;
    while (std::chrono::steady_clock::now() < end) {
      if (!Refresh(t, d, p, &sale->failure)) return;
      if (p->Credit != shown) {
        shown = p->Credit;
        Say("credit", "%d of %d", shown, sale->price);
      }
      if (p->Credit >= sale->price) return;
      Pause(t, 200);
    }
    return;
  }
  std::vector<int> plan =
      t.options.pay.empty() ? CustomerPlan(sale->price) : t.options.pay;
  for (int value : plan) {
    bool note = value == 1000;
    int r = note ? t.vu.insertNote(0, value) : t.vu.insertCoin(0, value);
    const char *what = note ? "note" : "coin";
    if (r != VU_OK) {
      Say("customer", "inserts a %s of %d: the unit gives it back (%s)", what,
          value,
          r == VU_REFUSED  ? "acceptance is off"
          : r == VU_JAMMED ? "the unit is jammed"
                           : "no such coin or note");
      continue;
    }
    // A held note is taken in over two polls: hold, stop, settle, count.
    int stacked = d->BillStacked;
    if (!Steady(t, d, p, &sale->failure)) return;
    const char *how = !note                      ? ""
                      : d->BillStacked > stacked ? " (note taken in)"
                      : d->BillEscrow            ? " (note held in escrow)"
                                                 : "";
    Say("customer", "inserts a %s of %d -> credit %d%s", what, value, p->Credit,
        how);
    if (p->Credit >= sale->price) {
      bool on = (d->CoinFlags & TAVO_COIN_ACCEPTING) ||
                (d->BillFlags & TAVO_BILL_ACCEPTING);
      Say("limit", "the credit reached the price: acceptance is %s",
          on ? "on" : "off");
      return;
    }
  }
}

// A whole sale in an open trade-less unit; false when an export failed or
// the customer did not pay.
bool RunSale(Tool &t, Sale *sale) {
  TavoData d{};
  PcbData p{};
  uint32_t h = t.handle;
  if (!Check("trade begin", sale->failure = t.lib.TradeBegin(h))) return false;
  if (!Refresh(t, &d, &p, &sale->failure)) return false;
  sale->tradeId = p.TradeId;
  Say("trade begin", "trade %u opened, acceptance off", p.TradeId);

  uint32_t code = t.lib.AcceptEx(h, static_cast<uint32_t>(sale->price), 3);
  if (!Check("accept", code)) {
    sale->failure = code;
    Refund(t, sale);
    return false;
  }
  Say("accept", "money accepted up to %d (at most 3 notes): units on",
      sale->price);

  CustomerPays(t, sale, &d, &p);
  if (sale->failure) return false;
  sale->paid = p.Credit;
  if (p.Credit < sale->price) {
    sale->customerShort = true;
    Say("customer", "paid %d of %d; the sale is called off", p.Credit,
        sale->price);
    if (p.Credit == 0) {
      Check("trade end", t.lib.TradeEnd(h));
    } else {
      Refund(t, sale);
    }
    return false;
  }

  code = t.lib.Charge(h, static_cast<uint32_t>(sale->price));
  if (!Check("charge", code)) {
    sale->failure = code;
    Refund(t, sale);
    return false;
  }
  if (!Steady(t, &d, &p, &sale->failure)) return false;
  sale->change = p.Credit;
  Say("charge", "price %d charged (the board counts %u); credit %d left",
      sale->price, p.Meters[8], p.Credit);

  if (p.Credit > 0) {
    int toPay = p.Credit;
    code = t.lib.PayBack(h);
    if (!Check("pay back", code)) {
      sale->failure = code;
      return false;
    }
    Say("pay back", "%d to pay back: notes of 1000 first, the rest in coins",
        toPay);
    if (!AwaitPayout(t, &d, &p, &sale->failure)) {
      if (!sale->failure) sale->failure = 0x1404;
      return false;
    }
    Say("change", "the units report %s paid out; credit %d", PaidOut(d).c_str(),
        p.Credit);
  }

  code = t.lib.TradeEnd(h);
  if (!Check("trade end", code)) {
    sale->failure = code;
    return false;
  }
  Say("trade end", "trade %u closed; the units settled, notes stacked",
      sale->tradeId);
  return true;
}

void StageFault(Tool &t) {
  const std::string &f = t.options.fault;
  if (f == "no-change") {
    const int only500[4] = {0, 0, 0, 20};
    t.vu.setCoinStock(0, only500);
  } else if (f == "silent") {
    vu_fault silence{VU_FAULT_SILENCE, -1, -1, -1, 0, -1, 0};
    t.vu.addFault(0, &silence);
  } else if (f == "no-device") {
    t.vu.clearDevices();
  }
}

void PrintRecords(const PcbData &p, const TavoData &d, const TavoData &b) {
  Say("unit", "serial %s, trade %u, accept limit %u, credit %u",
      Serial(p).c_str(), p.TradeId, p.AcceptLimit, p.Credit);
  Say("board", "\"%.127s\", firmware %06X",
      reinterpret_cast<const char *>(p.BoardText), p.BoardAux);
  Say("clock", "%02X%02X-%02X-%02X %02X:%02X:%02X (as last set)",
      p.BoardBlockA[0], p.BoardBlockA[1], p.BoardBlockA[2], p.BoardBlockA[3],
      p.BoardBlockA[4], p.BoardBlockA[5], p.BoardBlockA[6]);
  Say("meters", "in %u coins + %u notes, out %u coins + %u notes, charged %u",
      p.Meters[0], p.Meters[1], p.Meters[2], p.Meters[3], p.Meters[8]);
  Say("coin unit", "%s, flags %08X, in %d/%d/%d/%d, out %d/%d/%d/%d",
      UnitId(d.CoinUnitId).c_str(), d.CoinFlags, d.CoinIn[0], d.CoinIn[1],
      d.CoinIn[2], d.CoinIn[3], d.CoinOut[0], d.CoinOut[1], d.CoinOut[2],
      d.CoinOut[3]);
  Say("note unit", "%s, flags %08X, escrow %d, stacked %d, out %d",
      UnitId(d.BillUnitId).c_str(), d.BillFlags, d.BillEscrow, d.BillStacked,
      d.BillOut);
  Say("stock", "%s", Stock(d).c_str());
  bool empty = !Fitted(b.CoinUnitId) && !Fitted(b.BillUnitId);
  if (empty) {
    Say("backup", "empty");
  } else {
    Say("backup",
        "coins in %d/%d/%d/%d out %d/%d/%d/%d, notes escrow %d out %d",
        b.CoinIn[0], b.CoinIn[1], b.CoinIn[2], b.CoinIn[3], b.CoinOut[0],
        b.CoinOut[1], b.CoinOut[2], b.CoinOut[3], b.BillEscrow, b.BillOut);
  }
}

}  // namespace

int Demo(Tool &t) {
  if (!ArgumentsFit(t, 0)) return kExitUsage;
  if (!t.vu.local) {
    std::fprintf(stderr,
                 "tavo: demo plays the customer on the virtual unit; with a "
                 "real unit use 'tavo sell PRICE'\n");
    return kExitSetup;
  }
  t.vu.reset();
  StageFault(t);
  std::printf("tavo demo: one sale on the virtual payment unit\n\n");
  if (!OpenUnit(t)) {
    CloseUnit(t);
    std::printf("\nno sale: the unit did not open\n");
    return kExitUnitFailed;
  }
  TavoData d{};
  PcbData p{};
  t.lib.GetTAVOData(t.handle, &d);
  t.lib.GetPCBData(t.handle, &p);
  Say("open", "unit %s open: board started, coin unit %s, note unit %s",
      Serial(p).c_str(), UnitId(d.CoinUnitId).c_str(),
      UnitId(d.BillUnitId).c_str());
  Say("stock", "%s", Stock(d).c_str());
  if (t.options.fault == "jam") {
    // The coin unit jams once the customer has paid: the change cannot be
    // paid because the unit never reports that it has stopped.
    t.options.pay =
        t.options.pay.empty() ? CustomerPlan(t.options.price) : t.options.pay;
  }

  vu_money_report before{};
  t.vu.checkMoney(0, &before);
  Sale sale;
  sale.price = t.options.price;
  bool sold;
  if (t.options.fault == "jam") {
    // Run the sale up to the payment, then jam before the change.
    struct JamOnCharge {
      static void Hook(void *context, const vu_trace_event *e) {
        Tool *tool = static_cast<Tool *>(context);
        if (tool->options.trace) TraceLine(context, e);
        // The charge frame: SubCounter with the amount flag.
        if (e->direction == VU_TRACE_REQUEST && e->length >= 7 &&
            e->bytes[0] == 0xF3 && e->bytes[3] == 0x72 &&
            (e->bytes[4] & 0x80) && (e->bytes[4] & 0x7F || e->bytes[5])) {
          tool->vu.jam(0, VU_COIN, 1);
        }
      }
    };
    t.vu.setTrace(JamOnCharge::Hook, &t);
    sold = RunSale(t, &sale);
  } else {
    sold = RunSale(t, &sale);
  }
  CloseUnit(t);

  vu_money_report after{};
  bool conserved = t.vu.checkMoney(0, &after) == VU_OK;
  long in = after.value_in - before.value_in;
  long out = after.value_out - before.value_out;
  std::printf("\n");
  if (sale.failure) {
    std::printf("sale failed: 0x%04X %s; money in %ld, paid back %ld%s\n",
                sale.failure, ResultText(sale.failure).c_str(), in, out,
                conserved ? ", every coin and note accounted for"
                          : ", MONEY NOT CONSERVED");
    return kExitUnitFailed;
  }
  bool balanced = sold && conserved && in - out == sale.price &&
                  sale.paid - sale.change == sale.price;
  if (balanced) {
    std::printf(
        "sale balanced: price %d, customer paid %ld, change %ld; "
        "every coin and note accounted for\n",
        sale.price, in, out);
    return kExitOk;
  }
  std::printf("sale did not balance: price %d, money in %ld, paid out %ld%s\n",
              sale.price, in, out,
              conserved ? "" : ", money not conserved by the unit");
  return kExitUnbalanced;
}

int Sell(Tool &t) {
  long price = 0;
  if (t.options.args.empty()) return UsageError("sell", "sell needs a PRICE");
  if (!ArgumentsFit(t, 1)) return kExitUsage;
  if (!ReadNumber(t.options.args[0], 1, 32767, &price)) {
    return UsageError("sell", "the price must be 1 to 32767, not '%s'",
                      t.options.args[0].c_str());
  }
  if (!OpenUnit(t)) {
    CloseUnit(t);
    return kExitUnitFailed;
  }
  Sale sale;
  sale.price = static_cast<int>(price);
  bool sold = RunSale(t, &sale);
  CloseUnit(t);
  if (sold) {
    std::printf("sold for %d: paid %d, change %d\n", sale.price, sale.paid,
                sale.change);
    return kExitOk;
  }
  return sale.failure ? kExitUnitFailed : kExitUnbalanced;
}

int Status(Tool &t) {
  if (!ArgumentsFit(t, 0)) return kExitUsage;
  if (!OpenUnit(t)) {
    CloseUnit(t);
    return kExitUnitFailed;
  }
  PcbData p{};
  TavoData d{}, b{};
  bool ok = Check("board", t.lib.GetPCBData(t.handle, &p)) &&
            Check("units", t.lib.GetTAVOData(t.handle, &d)) &&
            Check("backup", t.lib.GetBackupData(t.handle, &b));
  if (ok) PrintRecords(p, d, b);
  CloseUnit(t);
  return ok ? kExitOk : kExitUnitFailed;
}

int Display(Tool &t) {
  if (t.options.args.empty()) {
    return UsageError("display", "display needs a NUMBER");
  }
  if (!ArgumentsFit(t, 1)) return kExitUsage;
  long number = 0;
  if (!ReadNumber(t.options.args[0], 0, 65535, &number)) {
    return UsageError("display", "the number must be 0 to 65535, not '%s'",
                      t.options.args[0].c_str());
  }
  if (!OpenUnit(t)) {
    CloseUnit(t);
    return kExitUnitFailed;
  }
  bool ok = Check("display",
                  t.lib.SegNum(t.handle, static_cast<uint32_t>(t.options.mode),
                               static_cast<uint32_t>(number)));
  if (ok) {
    Say("display", "shows %ld (mode %d)", number, t.options.mode);
    vu_state s{};
    if (t.vu.local && t.vu.getState(0, &s) == VU_OK) {
      Say("board", "digit codes %02X %02X %02X %02X", s.digits[0], s.digits[1],
          s.digits[2], s.digits[3]);
    }
  }
  CloseUnit(t);
  return ok ? kExitOk : kExitUnitFailed;
}

int Beep(Tool &t) {
  uint8_t pattern[32] = {0x10, 0x00, 0x10};
  uint32_t count = 3;
  if (!t.options.args.empty()) {
    if (t.options.args.size() > 32) {
      return UsageError("beep", "at most 32 pattern bytes, not %u",
                        static_cast<unsigned>(t.options.args.size()));
    }
    count = 0;
    for (const std::string &a : t.options.args) {
      long v = 0;
      if (!ReadNumber(a, 0, 0xFE, &v)) {
        return UsageError("beep", "a pattern byte is 0 to 254 (0xFE), not '%s'",
                          a.c_str());
      }
      pattern[count++] = static_cast<uint8_t>(v);
    }
  }
  if (!OpenUnit(t)) {
    CloseUnit(t);
    return kExitUnitFailed;
  }
  bool ok = Check("beep", t.lib.BuzzCtrl(t.handle, count, pattern));
  if (ok) Say("beep", "pattern of %u bytes sent to the buzzer", count);
  CloseUnit(t);
  return ok ? kExitOk : kExitUnitFailed;
}

int ResetBoard(Tool &t) {
  if (!ArgumentsFit(t, 0)) return kExitUsage;
  if (!OpenUnit(t)) {
    CloseUnit(t);
    return kExitUnitFailed;
  }
  uint32_t code = t.lib.Reset(t.handle);
  if (!Check("reset", code)) {
    CloseUnit(t);
    return kExitUnitFailed;
  }
  t.open = false;
  Say("reset",
      "the board stopped and went into its reset; the unit is "
      "closed");
  return kExitOk;
}

int ClearBackup(Tool &t) {
  if (!ArgumentsFit(t, 0)) return kExitUsage;
  if (!OpenUnit(t)) {
    CloseUnit(t);
    return kExitUnitFailed;
  }
  TavoData b{};
  bool ok = Check("backup", t.lib.GetBackupData(t.handle, &b));
  if (ok) {
    bool empty = !Fitted(b.CoinUnitId) && !Fitted(b.BillUnitId);
    Say("backup", "%s", empty ? "was empty" : "held an unsettled trade");
    ok = Check("clear", t.lib.ClearBackup(t.handle));
    if (ok) Say("clear", "the board's backup memory is cleared");
  }
  CloseUnit(t);
  return ok ? kExitOk : kExitUnitFailed;
}

int Codes(Tool &t) {
  // One line per code: the code, what to do next, the export and the text.
  auto line = [](uint32_t code) {
    std::printf("0x%04X  %-10s  %s\n", code, NextStep(code),
                ResultText(code).c_str());
  };
  if (t.options.args.empty()) {
    for (uint16_t code : AllResultCodes()) line(code);
    return kExitOk;
  }
  if (!ArgumentsFit(t, 1)) return kExitUsage;
  const std::string &arg = t.options.args[0];
  long code = 0;
  if (!ReadNumber(arg, 0, 0xFFFF, &code)) {
    return UsageError("codes", "%s is not a result code (0 to 0xFFFF)",
                      arg.c_str());
  }
  if (!IsKnownResult(static_cast<uint32_t>(code))) {
    std::printf("%s\n", ResultText(static_cast<uint32_t>(code)).c_str());
    return kExitUnitFailed;
  }
  line(static_cast<uint32_t>(code));
  return kExitOk;
}

}  // namespace tavo
