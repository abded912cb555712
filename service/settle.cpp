// Settling the unit's trade after an open with no sale under way: a new
// trade carries on whatever the units had not settled. A trade with no
// money in it is closed again at once. One that an unfinished operation
// explains (a payout cut short) is measured, journaled and closed; what it
// paid stays paid, nothing is paid again. Money in a trade that nothing
// journaled explains is still the customer's in the unit's own accounts: it
// is journaled, paid back and the trade closed. What cannot be settled
// opens an incident and keeps sales and payouts off until the operator
// resets the unit. A refill's trade is settled the other way: its credit is
// the operator's money for the stock, charged (refill.cpp), never paid back.
#include <algorithm>

#include "operations.h"
#include "tally.h"

namespace tavod {

void Operations::Settle() {
  UnitPoller &unit = c_.unit;
  if (step_ == Step::kBegin) {
    uint16_t code = unit.Run("TAVO_TradeBegin", &Exports::TradeBegin);
    // 0x1003: the trade is open in this connection already (a payout whose
    // trade end failed): that is the trade to settle.
    if (code != 0 && code != TAVO_CODE(TAVO_FN_TRADEBEGIN, 0x03)) {
      Retry(code, "opening a trade to settle");
      return;
    }
    step_ = Step::kMeasure;
    tries_ = 0;
  }
  if (step_ == Step::kMeasure) {
    switch (unit.PollIdleThenReadBoard(&tries_)) {
      case UnitPoller::Measure::kPollFailed:
        Retry(unit.LastCode(), "reading the money units");
        return;
      case UnitPoller::Measure::kBusy:
        return;
      case UnitPoller::Measure::kBoardFailed:
        Retry(unit.LastCode(), "reading the board");
        return;
      case UnitPoller::Measure::kRead:
        Measure();
        if (step_ == Step::kMeasure) return;  // stuck on an incident
        break;
    }
  }
  if (step_ == Step::kCharge) {
    ChargeRefill();  // refill.cpp
    return;
  }
  if (step_ == Step::kPay) {
    op_->step = "paying";
    if (!Save()) return;  // nothing moves that the journal does not hold
    c_.Crash("settle:before-payout");
    uint16_t code = unit.Run("TAVO_PayBack", &Exports::PayBack);
    if (code != 0 && DescribeCode(code).next != TAVOCTL_NEXT_READ_BOARD) {
      Retry(code, "paying back the credit found");
      return;
    }
    // Sent, or it may have started: its effect is measured, never repeated.
    step_ = Step::kWait;
    tries_ = 0;
    return;
  }
  if (step_ == Step::kWait) {
    if (!unit.Poll()) {
      Retry(unit.LastCode(), "reading the money units");
      return;
    }
    uint32_t credit = unit.Credit();
    if (credit > 0 && ++tries_ <= UnitPoller::kMaxPolls) return;
    if (credit > 0) {
      GiveUp(unit.LastCode(), "the pay-back of the credit found fell short",
             credit);
      return;
    }
    op_->paid = PaidValue(unit.Units());
    op_->step = "ending";
    Save();
    step_ = Step::kEnd;
    tries_ = 0;
  }
  if (step_ == Step::kEnd) {
    // The trade's tally is journaled for the operation, or as a reading of
    // the stock when no operation moved money in it.
    uint16_t code =
        CloseTrade(c_, op_ ? TradeOwner{op_->kind.c_str(), 0, op_->id}
                           : TradeOwner{"stock"});
    // 0x1103: no trade open, nothing to close.
    if (code != 0 && code != TAVO_CODE(TAVO_FN_TRADEEND, 0x03)) {
      Retry(code, "closing the trade");
      return;
    }
    if (op_) {
      std::string state = "done";
      if (PaysOut(op_->kind) && op_->paid < op_->amount) {
        state = op_->paid == 0 && op_->lastCode != 0 ? "failed" : "short";
      }
      Finish(state);
    }
    settled_ = true;
    tries_ = 0;
    unit.Poll();
    unit.Publish();
  }
}

// The trade carried on, measured: what an operation cut short paid, or the
// money nothing journaled explains; then paid back or closed.
void Operations::Measure() {
  const PcbData &board = c_.unit.Board();
  const TavoData &units = c_.unit.Units();
  uint32_t in = InsertedValue(units), out = PaidValue(units);
  uint32_t charged = board.Meters[8], credit = board.Credit;
  if (op_ && op_->kind == "refill") {
    MeasureRefill();  // refill.cpp
    return;
  }
  if (op_ && PaysOut(op_->kind)) {
    // What the payout paid: the board's money meters since its base where
    // they count (the virtual unit's do), else the trade's carried counts;
    // never less than was journaled.
    uint32_t paid = std::max(op_->paid, out);
    if (op_->meterBaseKnown) {
      Metered m = MeteredSince(board, op_->meterBase);
      if (m.out > 0 || m.in > 0) {
        paid = static_cast<uint32_t>(std::max<int64_t>(m.out, 0));
      }
    }
    op_->paid = paid;
  } else if (credit > 0 && c_.OwedInIncident()) {
    // Money a failed sale left in the trade: its incident is open, and
    // the money stays in the unit until the operator, there to hand it
    // over, resolves the incident; then it is paid out.
    stuck_ = true;
    c_.unit.Publish();
    return;
  } else if (in != 0 || out != 0 || charged != 0 || credit != 0) {
    Operation op;
    op.kind = "settle";
    op.detail =
        "the unit carried a trade that no journaled sale or "
        "payout explains: " +
        std::to_string(in) + " in, " + std::to_string(out) + " out, " +
        std::to_string(charged) + " charged";
    // Journaled or not, the settling goes on: its payout waits for the
    // journal (kPay).
    if (Begin(op)) op_ = op;
  }
  if (op_) {
    if (credit > 0) {
      op_->found = credit;
      op_->detail += (op_->detail.empty() ? "" : "; ") +
                     std::string("credit ") + std::to_string(credit) +
                     " found in the trade, paid back";
    }
    op_->step = credit > 0 ? "pay" : "ending";
    Save();
    step_ = credit > 0 ? Step::kPay : Step::kEnd;
  } else {
    step_ = Step::kEnd;
  }
  tries_ = 0;
}

void Operations::Retry(uint16_t code, const char *what) {
  CodeInfo info = DescribeCode(code);
  if (op_) op_->lastCode = code;
  int tries = ++tries_;
  switch (info.next) {
    case TAVOCTL_NEXT_REOPEN:
      c_.unit.Close();  // the open after it settles again
      return;
    case TAVOCTL_NEXT_PAY_BACK:
      // Credit appeared (0x1171 at the trade end): measure it again.
      step_ = Step::kMeasure;
      if (tries <= kMaxRetries) return;
      break;
    case TAVOCTL_NEXT_NONE:
    case TAVOCTL_NEXT_RETRY:
    case TAVOCTL_NEXT_READ_BOARD:
      if (tries <= kMaxRetries) return;
      break;
    case TAVOCTL_NEXT_POLL:
      c_.unit.Poll();
      if (tries <= UnitPoller::kMaxPolls) return;
      break;
    case TAVOCTL_NEXT_FIX_CALL:
    case TAVOCTL_NEXT_SERVICE:
      break;
  }
  GiveUp(code, std::string(what) + ": " + info.text, op_ ? op_->found : 0);
}

void Operations::GiveUp(uint16_t code, const std::string &detail,
                        uint32_t owed) {
  stuck_ = true;
  std::string what = "settling the unit's trade";
  if (op_) {
    what += " (operation " + std::to_string(op_->id) + ", " + op_->kind + ")";
    op_->lastCode = code;
    op_->detail += (op_->detail.empty() ? "" : "; ") + detail;
    Finish("failed");
  }
  c_.OpenIncident(0, code, what + ": " + detail, owed);
  c_.unit.Publish();
}

}  // namespace tavod
