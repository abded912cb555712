// Settling a sale after a restart or a reopened unit. Opening the unit
// keeps a trade the units had not settled, and TAVO_TradeBegin carries it
// on: its Credit is what the customer is still owed. The charge is read
// from the board's trade meter first and journaled (the journal knows only
// the charges it saw succeed); then a new trade switches acceptance off and
// carries the money on, the units are waited for, and the credit is
// checked against the board's money meters since the base journaled at the
// sale's start (where the board counts money there: the virtual unit
// does). The credit is paid back and the sale closed as done or cancelled;
// where the two disagree, or the payout falls short, the sale fails with an
// incident for the amount owed. Every step may be cut by another crash:
// the next start measures again, and a payout already made shows in the
// credit.
#include <algorithm>

#include "sale.h"
#include "tally.h"

namespace tavod {

void SaleMachine::StepRecover() {
  SaleRecord &r = sale_->rec;
  UnitPoller &unit = c_.unit;
  if (r.step == SaleStep::kRecover || r.step == SaleStep::kRecoverAgain) {
    if (!unit.ReadBoard()) {
      OnCode(unit.LastCode(), "reading the board after a restart");
      return;
    }
    // The journal knows a charge it saw succeed; one made just before the
    // service died shows only in the board's trade meter.
    uint32_t charged = r.charged;
    if (charged == 0 && r.step == SaleStep::kRecover) {
      charged = unit.Board().Meters[8];
    }
    if (charged != 0 && charged != r.price) {
      Fail(0,
           "the board's trade meter shows " + std::to_string(charged) +
               " charged, not the price",
           r.credit);
      return;
    }
    bool backupKept = unit.BoardKeptBackup();
    r.charged = charged;
    r.detail = "settling after a restart" +
               std::string(backupKept ? " (the board kept a backup)" : "");
    Enter(r.charged ? SaleState::kPayingChange : SaleState::kCancelling,
          SaleStep::kRecoverBegin);
  }
  if (r.step == SaleStep::kRecoverBegin) {
    uint16_t code = unit.Run("TAVO_TradeBegin", &Exports::TradeBegin);
    if (code != 0) {
      OnCode(code, "opening a trade to settle");
      return;
    }
    r.step = SaleStep::kRecoverMeasure;
    sale_->tries = 0;
  }
  if (r.step == SaleStep::kRecoverMeasure || r.step == SaleStep::kRecoverWait) {
    switch (unit.PollIdleThenReadBoard(&sale_->tries)) {
      case UnitPoller::Measure::kPollFailed:
        OnCode(unit.LastCode(), "reading the money units");
        return;
      case UnitPoller::Measure::kBusy:
        return;
      case UnitPoller::Measure::kBoardFailed:
        OnCode(unit.LastCode(), "reading the board's meters");
        return;
      case UnitPoller::Measure::kRead:
        if (!RecoverMeasured()) return;
        break;
    }
  }
  if (r.step == SaleStep::kRecoverPay) {
    r.step = SaleStep::kRecoverPaying;
    if (!Save()) {
      r.step = SaleStep::kRecoverPay;
      return;
    }
    c_.Crash("recover:before-payout");
    uint16_t code = unit.Run("TAVO_PayOut", &Exports::PayOut, r.credit);
    if (code != 0) {
      // A payout that may have started is measured, never repeated.
      r.step = DescribeCode(code).next == TAVOCTL_NEXT_READ_BOARD
                   ? SaleStep::kRecoverWait
                   : SaleStep::kRecoverPay;
      if (OnCode(code, "paying back after a restart")) Save();
      return;
    }
    c_.Crash("recover:after-payout");
    TellPayout();
    r.step = SaleStep::kRecoverWait;
    sale_->tries = 0;
    Save();
    return;
  }
  if (r.step == SaleStep::kRecoverEnd) {
    uint16_t code = CloseTrade(c_, {"sale", r.id});
    if (code != 0) {
      OnCode(code, "closing the settling trade");
      return;
    }
    r.credit = 0;
    Finish(r.charged ? SaleState::kDone : SaleState::kCancelled);
  }
}

// The units are idle and the board read: what the library carried on into
// the new trade is what the customer is owed. The board's money meters
// measure the same since the sale's start; where they count (the virtual
// unit's do), they must agree. False when the sale waits or failed.
bool SaleMachine::RecoverMeasured() {
  SaleRecord &r = sale_->rec;
  UnitPoller &unit = c_.unit;
  uint32_t owed = unit.Board().Credit;
  Metered m;
  if (r.meterBaseKnown && unit.ReadBoard()) {
    m = MeteredSince(unit.Board(), r.meterBase);
  }
  bool metersCount = m.in != 0 || m.out != 0;
  int64_t metered = m.in - m.out - r.charged;
  if (r.step == SaleStep::kRecoverWait) {
    bool unpaid = metersCount ? metered > 0 : owed > 0;
    if (unpaid && ++sale_->tries <= UnitPoller::kMaxPolls) {
      return false;  // still paying
    }
    if (unpaid || (metersCount && metered < 0)) {
      Fail(unit.LastCode(), "the payout after a restart fell short",
           std::max<uint32_t>(
               owed, static_cast<uint32_t>(std::max<int64_t>(metered, 0))));
      return false;
    }
    // Paid: the sale's figures are those of the whole trade, the payout
    // made now included.
    TakeFigures(m, metersCount);
    r.credit = 0;
    r.step = SaleStep::kRecoverEnd;
    Save();
    return true;
  }
  if (metersCount && metered < owed) {
    // The meters show less than the credit: paying the credit could pay
    // money that never came in. A person decides.
    Fail(0,
         "the unit's credit (" + std::to_string(owed) +
             ") is above what its money meters show owed (" +
             std::to_string(metered) + ")",
         owed);
    return false;
  }
  if (metersCount && metered > owed) {
    // Money the meters counted but the carried credit lost (a note taken
    // in but not yet counted when the service died): the meters count
    // every coin and note, so they are paid.
    r.detail += "; the meters show " + std::to_string(metered) +
                " owed, the carried credit " + std::to_string(owed);
    owed = static_cast<uint32_t>(metered);
  }
  TakeFigures(m, metersCount);
  r.credit = owed;
  r.step = owed > 0 ? SaleStep::kRecoverPay : SaleStep::kRecoverEnd;
  sale_->tries = 0;
  Save();
  return true;
}

void SaleMachine::TakeFigures(const Metered &m, bool metersCount) {
  SaleRecord &r = sale_->rec;
  const TavoData &units = c_.unit.Units();
  if (metersCount) {
    r.inserted = static_cast<uint32_t>(m.in);
    r.paid = static_cast<uint32_t>(m.out);
  } else if (InsertedValue(units) != 0) {
    // The trade carried on holds the sale's coins and notes.
    r.inserted = InsertedValue(units);
    r.paid = PaidValue(units);
  }
}

}  // namespace tavod
