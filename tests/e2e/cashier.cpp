#include "cashier.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tavovu.h"

namespace cashier {
namespace {

constexpr int kMaxCalls = 600;  // a sale that needs more is stuck
constexpr int kTroublesToReopen = 6;
constexpr int kMaxReopens = 4;

uint8_t Reason(uint32_t code) { return static_cast<uint8_t>(code & 0xFF); }

bool NothingPending(const TavoData &t) {
  return (t.CoinFlags >> 24) == 0 && (t.BillFlags >> 24) == 0;
}

}  // namespace

uint32_t Cashier::Note(const char *what, uint32_t code) {
  char line[64];
  std::snprintf(line, sizeof line, "%s=%04X ", what, code);
  log_ += line;
  ++out_.calls;
  if (afterCall) afterCall(what, code);
  return code;
}

bool Cashier::Budget() { return out_.calls < kMaxCalls; }

bool Cashier::Open() {
  for (int i = 0; i < 4; ++i) {
    uint32_t code = Note("Open", TAVO_Open(&handle_));
    if (code == 0 || code == 0x0119) {
      open_ = true;
      return true;
    }
    if (code == 0x0111) {  // still open from before: close and try again
      TAVO_Close(handle_);
    }
  }
  return false;
}

bool Cashier::Poll(TavoData *t) {
  TavoData local{};
  uint32_t code = Note("Poll", TAVO_GetTAVOData(handle_, t ? t : &local));
  return code == 0;
}

bool Cashier::Board(PcbData *p) {
  return Note("Pcb", TAVO_GetPCBData(handle_, p)) == 0;
}

uint16_t Cashier::Credit() {
  PcbData p{};
  for (int i = 0; i < 5; ++i) {
    if (!Board(&p)) continue;
    // Once the close has begun, the trade's money is all charged or paid:
    // no step of it, and no reopen in the middle of it, may show credit.
    if (closing_ && p.Credit != 0) {
      char text[96];
      std::snprintf(text, sizeof text,
                    "credit %u after TradeEnd began to close (call %d); ",
                    p.Credit, out_.calls);
      out_.creditFaults += text;
      closing_ = false;  // reported once
    }
    return p.Credit;
  }
  return 0;
}

Cashier::Step Cashier::Trouble(Step again) {
  if (++troubles_ >= kTroublesToReopen) return Reopen();
  Poll();
  return again;
}

// The unit answers nothing useful any more (a power failure leaves the
// board silent until it is opened again): close, open, and carry the trade
// on. After a reopen the customer is paid back what the trade holds.
Cashier::Step Cashier::Reopen() {
  troubles_ = 0;
  if (++out_.reopens > kMaxReopens) {
    out_.gaveUp = "too many reopens";
    return Step::Done;
  }
  Note("Close", TAVO_Close(handle_));
  open_ = false;
  if (!Open()) {
    out_.gaveUp = "the unit does not open again";
    return Step::Done;
  }
  if (afterReopen) afterReopen();
  customerDone_ = !(payAgainAfterReopen && !paidAgain_);
  paidAgain_ = true;
  return Step::Begin;
}

Cashier::Step Cashier::Begin() {
  uint32_t code = Note("Begin", TAVO_TradeBegin(handle_));
  if (code == 0 || code == 0x1003) {
    if (closing_) {
      // The trade carried over a reopen in the middle of its close shows
      // no credit (Credit() reports one); new money may follow.
      Credit();
      closing_ = false;
    }
    if (chargeInDoubt_) {
      // The trade carried on over a reopen keeps its charged amount on the
      // board's meter: it tells whether the charge in doubt was made.
      PcbData p{};
      if (!Board(&p)) return Trouble(Step::Begin);
      chargeInDoubt_ = false;
      if (p.Meters[8] >= price_) {
        out_.charged = true;
        out_.chargedTotal += price_;
      }
    }
    troubles_ = 0;  // only once the trade's state could be read
    // After a reopen the customer is paid back, or (payAgainAfterReopen)
    // buys again in the carried trade with new money.
    if (customerDone_) return Step::PayBack;
    return Step::Accept;
  }
  if (Reason(code) == 0x04) return Trouble(Step::Begin);
  if (Reason(code) == 0x06) return Reopen();
  return Trouble(Step::Begin);
}

Cashier::Step Cashier::Accept() {
  uint32_t code = Note("Accept", TAVO_AcceptEx(handle_, price_, 3));
  if (code == 0) {
    troubles_ = 0;
    return Step::Pay;
  }
  if (Reason(code) == 0x06) return Reopen();
  // The limit is stored even when switching failed: the customer may pay.
  if ((code & 0xFF00) == 0x1200 && Reason(code) >= 0x61) return Step::Pay;
  if ((code & 0xFF00) == 0x1300) return Step::Pay;
  return Trouble(Step::Accept);
}

Cashier::Step Cashier::Pay(const Customer &customer) {
  if (!customerDone_) {
    customer();
    customerDone_ = true;
  }
  // Polls keep the trade going: the held note is taken in, acceptance
  // stops at the limit.
  for (int i = 0; i < 25 && Budget(); ++i) {
    Poll();
    if (Credit() >= price_) return Step::Charge;
  }
  return Step::PayBack;  // the customer did not pay enough: pay it back
}

Cashier::Step Cashier::Charge() {
  uint32_t code = Note("Charge", TAVO_Charge(handle_, price_));
  uint8_t r = Reason(code);
  if (code == 0 || (code & 0xFF00) == 0x1200 ||
      (code >= 0x1341 && code <= 0x1347)) {
    // Charged; a later step failing does not undo it.
    chargeInDoubt_ = false;
    out_.charged = true;
    out_.chargedTotal += price_;
    troubles_ = 0;
    return Step::PayBack;
  }
  if (code == 0x137A) {
    // May have been made: the same call again tells (and never charges
    // twice); if the board stays unreadable, a reopen tells.
    chargeInDoubt_ = true;
    return Trouble(Step::Charge);
  }
  // A charge left in doubt stays in doubt through refusals and refresh
  // failures; only the board's answer settles it.
  if (code == 0x1376) {  // nothing charged
    chargeInDoubt_ = false;
    return Trouble(Step::Charge);
  }
  if (code == 0x1374) {
    Poll();
    return Credit() >= price_ ? Step::Charge : Step::PayBack;
  }
  if (code == 0x1375 && !chargeInDoubt_)
    return Step::PayBack;  // no change: cancel the sale
  if (r == 0x06) return Reopen();
  return Trouble(Step::Charge);
}

Cashier::Step Cashier::PayBack() {
  uint32_t code = Note("PayBack", TAVO_PayBack(handle_));
  uint8_t r = Reason(code);
  if (code == 0 || r == 0x69 || r == 0x6A) {
    troubles_ = 0;
    return Step::Settle;  // poll until the units report; pay what is left
  }
  if (r == 0x77) {
    out_.gaveUp = "the stock cannot pay the credit back";
    out_.stockShort = true;
    return Step::Done;
  }
  if (r == 0x06) return Reopen();
  return Trouble(Step::PayBack);
}

Cashier::Step Cashier::Settle() {
  TavoData t{};
  for (int i = 0; i < 30 && Budget(); ++i) {
    if (Poll(&t) && NothingPending(t)) break;
  }
  return Credit() == 0 ? Step::End : Step::PayBack;
}

Cashier::Step Cashier::End() {
  uint32_t code = Note("End", TAVO_TradeEnd(handle_));
  uint8_t r = Reason(code);
  // The codes of the close itself: the settles and the counter resets.
  if (r == 0x56 || r == 0x57 || r == 0x66 || r == 0x67 || r == 0x72)
    closing_ = true;
  if (code == 0) return Step::Done;
  if (r == 0x03) return Step::Done;  // no trade: a reopen dropped nothing
  if (r == 0x71) return Step::PayBack;
  if (r == 0x06) return Reopen();
  // A refresh, a wait, a settle or a counter failed, or a command is
  // pending: poll and call again.
  return Trouble(Step::End);
}

Outcome Cashier::Sell(uint16_t price, const Customer &customer) {
  out_ = Outcome{};
  log_.clear();
  price_ = price;
  chargeInDoubt_ = false;
  customerDone_ = false;
  paidAgain_ = false;
  closing_ = false;
  troubles_ = 0;
  if (!open_ && !Open()) {
    out_.gaveUp = "the unit does not open";
    return out_;
  }
  Step step = Step::Begin;
  while (step != Step::Done) {
    if (!Budget()) {
      out_.gaveUp = "stuck: too many calls";
      break;
    }
    if (beforeStep) beforeStep(step);
    switch (step) {
      case Step::Begin:
        step = Begin();
        break;
      case Step::Accept:
        step = Accept();
        break;
      case Step::Pay:
        step = Pay(customer);
        break;
      case Step::Charge:
        step = Charge();
        break;
      case Step::PayBack:
        step = PayBack();
        break;
      case Step::Settle:
        step = Settle();
        break;
      case Step::End:
        step = End();
        if (step == Step::Done && out_.gaveUp.empty()) out_.closed = true;
        break;
      case Step::Done:
        break;
    }
  }
  if (!out_.closed) {
    PcbData p{};
    if (Board(&p)) out_.owed = p.TradeId != 0 ? p.Credit : 0;
  }
  Note("Close", TAVO_Close(handle_));
  open_ = false;
  return out_;
}

bool Documented(const char *what, uint32_t code) {
  static const std::map<std::string, std::string> exports = {
      {"Open", "TAVO_Open"},        {"Close", "TAVO_Close"},
      {"Poll", "TAVO_GetTAVOData"}, {"Pcb", "TAVO_GetPCBData"},
      {"Begin", "TAVO_TradeBegin"}, {"Accept", "TAVO_AcceptEx"},
      {"Charge", "TAVO_Charge"},    {"PayBack", "TAVO_PayBack"},
      {"End", "TAVO_TradeEnd"},
  };
  auto name = exports.find(what);
  const std::string exportName = name == exports.end() ? what : name->second;
  static std::map<uint32_t, std::string> table = [] {
    std::map<uint32_t, std::string> t;
    std::ifstream in(TAVO_RESULT_CODES);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream fields(line);
      std::string hex, who;
      std::getline(fields, hex, '\t');
      std::getline(fields, who, '\t');
      t[static_cast<uint32_t>(std::stoul(hex, nullptr, 16))] = who;
    }
    return t;
  }();
  auto it = table.find(code);
  if (it == table.end()) return false;
  static const std::set<std::string> shared = {"acceptance control",
                                               "note follow-up", "any"};
  return it->second == exportName || shared.count(it->second) != 0;
}

std::string MoneyFaults(const Outcome &o) {
  std::string why;
  vu_money_report m{};
  vu_state s{};
  int balanced = vu_check_money(0, &m);
  vu_get_state(0, &s);
  long charged = static_cast<long>(s.meters[9]);
  char text[256];
  if (balanced != VU_OK) why += "the unit's coins and notes do not balance; ";
  if (m.value_in != charged + m.value_out + static_cast<long>(o.owed)) {
    std::snprintf(text, sizeof text,
                  "money in %ld != charged %ld + paid out %ld + credit %u; ",
                  m.value_in, charged, m.value_out, o.owed);
    why += text;
  }
  if (o.chargedTotal != charged) {
    std::snprintf(text, sizeof text,
                  "the application believes it charged %ld, the board "
                  "counted %ld; ",
                  o.chargedTotal, charged);
    why += text;
  }
  if (!o.closed && !o.stockShort) why += "trade left open: " + o.gaveUp + "; ";
  return why + o.creditFaults;
}

}  // namespace cashier
