#include "sale.h"

#include <algorithm>

#include "tally.h"
#include "views.h"

namespace tavod {
namespace json = boost::json;

SaleMachine::SaleMachine(Context &context, Operations &operations,
                         const VirtualJobs &virtualUnit)
    : c_(context), operations_(operations), virtual_(virtualUnit) {}

std::optional<int64_t> SaleMachine::ActiveId() const {
  if (!Active()) return std::nullopt;
  return sale_->rec.id;
}

void SaleMachine::Resume(const SaleRecord &rec) {
  // Whatever step it had reached, the unit's meters tell what happened
  // since, and recovery settles it.
  sale_.emplace();
  sale_->rec = rec;
  sale_->rec.step =
      ChargeFixed(rec.step) ? SaleStep::kRecoverAgain : SaleStep::kRecover;
  sale_->unitLostSince = Clock::now();
}

void SaleMachine::UnitReopened() {
  if (!Active()) return;
  SaleRecord &r = sale_->rec;
  if (r.step == SaleStep::kRecover || r.step == SaleStep::kRecoverAgain) {
    return;
  }
  // With the charge as journaled once recovery has fixed it.
  r.step = ChargeFixed(r.step) ? SaleStep::kRecoverAgain : SaleStep::kRecover;
  Save();
}

void SaleMachine::UnitAway(Clock::time_point now) {
  if (!Active()) return;
  if (sale_->unitLostSince == Clock::time_point{}) {
    sale_->unitLostSince = now;
  } else if (now - sale_->unitLostSince >
             std::chrono::milliseconds(c_.options.faultTimeoutMs)) {
    Fail(c_.unit.LastCode(), "the unit could not be reached",
         sale_->rec.credit);
  }
}

void SaleMachine::CheckJournalLost(Clock::time_point now) {
  if (Active() && sale_->journalLostSince != Clock::time_point{} &&
      now - sale_->journalLostSince >
          std::chrono::milliseconds(c_.options.faultTimeoutMs)) {
    // Nothing may move without the journal, so a person settles the money.
    Fail(0, "the journal cannot be written: " + c_.journal.LastError(),
         sale_->rec.credit);
  }
}

void SaleMachine::Step() {
  sale_->unitLostSince = {};
  Advance();
}

bool SaleMachine::Save() {
  SaleRecord &r = sale_->rec;
  r.updatedMs = NowMs();
  if (c_.journal.Save(r)) {
    sale_->journalLostSince = {};
    if (c_.journal.Faulted()) c_.CheckJournal();
    return true;
  }
  // Money must not move on a step the journal does not hold: the steps
  // that move it wait until the journal can be written again, for at most
  // the fault time (see CheckJournalLost).
  if (sale_->journalLostSince == Clock::time_point{}) {
    sale_->journalLostSince = Clock::now();
  }
  r.detail = "the journal cannot be written: " + c_.journal.LastError();
  c_.CheckJournal();
  c_.events("journal", json::object{{"sale", r.id}, {"detail", r.detail}});
  return false;
}

void SaleMachine::Enter(SaleState state, SaleStep step) {
  SaleRecord &r = sale_->rec;
  bool changed = r.state != state;
  r.state = state;
  r.step = step;
  sale_->tries = 0;
  Save();
  if (changed) c_.events("sale", SaleView(r));
  c_.unit.Publish();
}

void SaleMachine::Finish(SaleState state) {
  SaleRecord &r = sale_->rec;
  uint32_t frames = 0;
  if (sale_->counting && virtual_.Frames(&frames)) {
    r.frames = frames - sale_->framesAtStart;
  }
  if (state != SaleState::kFailed && r.lastCode != 0) {
    // A busy code or one that asked only to call again or poll left no
    // mark on a sale that ended as it should.
    tavoctl_next next = DescribeCode(r.lastCode).next;
    if (TAVO_IS_BUSY(r.lastCode) || next == TAVOCTL_NEXT_RETRY ||
        next == TAVOCTL_NEXT_POLL) {
      r.lastCode = 0;
    }
  }
  if (state == SaleState::kFailed) {
    // The trade may still hold the money the incident is about: it is
    // looked at again before the next sale (see settle.cpp).
    operations_.SettleAgain();
  } else {
    operations_.MarkSettled();  // the trade was closed
  }
  Enter(state);  // publishes the unit, ready again
  c_.metrics.SaleFinished(StateName(state), r.charged, r.inserted);
  c_.metrics.PaidOut(r.paid);
  c_.unit.PollSoon();
}

void SaleMachine::Fail(uint16_t code, const std::string &detail,
                       uint32_t owed) {
  SaleRecord &r = sale_->rec;
  r.lastCode = code;
  r.detail = detail;
  if (owed > 0 || code != 0) {
    c_.OpenIncident(r.id, code,
                    "sale " + std::to_string(r.id) + " (" + StateName(r.state) +
                        "): " + detail,
                    owed);
  }
  Finish(SaleState::kFailed);
}

bool SaleMachine::OnCode(uint16_t code, const char *what) {
  SaleRecord &r = sale_->rec;
  CodeInfo info = DescribeCode(code);
  r.lastCode = code;
  r.detail = std::string(what) + ": " + info.text;
  int tries = ++sale_->tries;
  switch (info.next) {
    case TAVOCTL_NEXT_NONE:
      return true;
    case TAVOCTL_NEXT_RETRY:
      if (tries <= kMaxRetries) return true;
      break;
    case TAVOCTL_NEXT_POLL:
      c_.unit.Poll();
      if (tries <= UnitPoller::kMaxPolls) return true;
      break;
    case TAVOCTL_NEXT_READ_BOARD:
      c_.unit.ReadBoard();
      c_.unit.Poll();
      if (tries <= kMaxRetries) return true;
      break;
    case TAVOCTL_NEXT_PAY_BACK:
      if (tries > kMaxRetries) break;
      if (BeforeCharge(r.state)) {
        Enter(SaleState::kCancelling);
      } else if (r.state == SaleState::kEnding) {
        Enter(r.charged ? SaleState::kPayingChange : SaleState::kCancelling);
      }
      return true;
    case TAVOCTL_NEXT_REOPEN:
      c_.unit.Close();
      return true;
    case TAVOCTL_NEXT_FIX_CALL:
    case TAVOCTL_NEXT_SERVICE:
      // Before the charge the money is still the customer's: give it back
      // if the unit lets us; after that a person has to look.
      if (tries <= 1 && BeforeCharge(r.state) && r.charged == 0) {
        Enter(SaleState::kCancelling);
        r.lastCode = code;
        r.detail = std::string(what) + ": " + info.text;
        return true;
      }
      break;
  }
  Fail(code, r.detail, r.state == SaleState::kOpening ? 0 : r.credit);
  return false;
}

void SaleMachine::Advance() {
  SaleRecord &r = sale_->rec;
  bool recovering = IsRecovering(r.step);
  bool chargeSent =
      r.state == SaleState::kCharging && r.step == SaleStep::kChargeSent;
  if (!recovering && !r.cancelRequested && r.charged == 0 && !chargeSent &&
      BeforeCharge(r.state) && (c_.journal.Faulted() || c_.stopping)) {
    // Before the charge the money is the customer's. A journal that had to
    // spend its reserve to write (a full disk) sees the sale to its end
    // only if it ends soon, and a stopping service ends it: paid back.
    r.cancelRequested = true;
    r.detail = c_.stopping ? "the service is stopping: the money is paid back"
                           : "the journal's disk is full: the money is paid "
                             "back";
    if (r.state != SaleState::kOpening) Enter(SaleState::kCancelling);
  }
  if (recovering) {
    StepRecover();
    return;
  }
  switch (r.state) {
    case SaleState::kOpening:
      StepOpening();
      break;
    case SaleState::kAccepting:
      StepAccepting();
      break;
    case SaleState::kCharging:
      StepCharging();
      break;
    case SaleState::kPayingChange:
    case SaleState::kCancelling:
      StepPaying();
      break;
    case SaleState::kEnding:
      StepEnding();
      break;
    case SaleState::kDone:
    case SaleState::kCancelled:
    case SaleState::kFailed:
      break;
  }
}

void SaleMachine::StepOpening() {
  SaleRecord &r = sale_->rec;
  UnitPoller &unit = c_.unit;
  if (r.step == SaleStep::kNone) {
    sale_->counting = virtual_.Frames(&sale_->framesAtStart);
    uint16_t code = unit.Run("TAVO_TradeBegin", &Exports::TradeBegin);
    if (code != 0) {
      OnCode(code, "opening the trade");
      return;
    }
    c_.Crash("opening:after-trade-begin");
    r.step = SaleStep::kBegun;
  }
  if (!r.meterBaseKnown) {
    if (!unit.ReadBoard()) {
      OnCode(unit.LastCode(), "reading the board");
      return;
    }
    TakeMeterBase(unit.Board(), r.meterBase);
    r.meterBaseKnown = true;
    Save();
  }
  if (r.cancelRequested) {
    Enter(SaleState::kCancelling);  // acceptance never went on
    return;
  }
  // Notes: as many as the price needs, and one more that may bring change.
  uint32_t notes = std::min<uint32_t>(7, r.price / kNoteValue + 1);
  uint16_t code = unit.Run("TAVO_AcceptEx", &Exports::AcceptEx, r.price, notes);
  if (code != 0) {
    OnCode(code, "switching acceptance on");
    return;
  }
  Enter(SaleState::kAccepting);
}

void SaleMachine::StepAccepting() {
  SaleRecord &r = sale_->rec;
  if (!c_.unit.Poll()) {
    OnCode(c_.unit.LastCode(), "reading the money units");
    return;
  }
  uint32_t credit = c_.unit.Credit();
  uint32_t inserted = InsertedValue(c_.unit.Units());
  if (credit != r.credit || inserted != r.inserted) {
    r.credit = credit;
    r.inserted = inserted;
    Save();
    c_.events("credit", json::object{{"sale", r.id},
                                     {"credit", credit},
                                     {"inserted", inserted},
                                     {"price", r.price}});
  }
  if (r.cancelRequested) {
    Enter(SaleState::kCancelling);
  } else if (r.credit >= r.price) {
    Enter(SaleState::kCharging);
  }
}

void SaleMachine::StepCharging() {
  SaleRecord &r = sale_->rec;
  // From here the charge may be made: a cancel can no longer be taken.
  r.step = SaleStep::kChargeSent;
  if (!Save()) {
    r.step = SaleStep::kNone;
    return;
  }
  c_.Crash("charging:before");
  uint16_t code = c_.unit.Run("TAVO_Charge", &Exports::Charge, r.price);
  if (code != 0) {
    CodeInfo info = DescribeCode(code);
    if (info.next == TAVOCTL_NEXT_READ_BOARD) {
      // The charge may have been made. The library checks it on the
      // board's meter when it is called again with the same amount, before
      // anything else, and never charges twice: so call it again.
      r.lastCode = code;
      r.detail = "charging the price: " + info.text;
      if (++sale_->tries > kMaxRetries) {
        Fail(code, r.detail + " (the charge could not be settled)", r.credit);
      }
      return;
    }
    OnCode(code, "charging the price");
    return;
  }
  c_.Crash("charging:after");
  r.charged = r.price;
  c_.unit.ReadBoard();  // the board's meter of the trade now holds the charge
  r.credit = c_.unit.Credit();
  Enter(SaleState::kPayingChange);
}

void SaleMachine::TellPayout() {
  c_.events("payout", json::object{{"sale", sale_->rec.id},
                                   {"amount", sale_->rec.credit}});
}

// The payout is judged done by its effect, the credit reaching 0 as the
// units report the money out. (The pending bits mirrored in the top byte
// of the flags are renewed only when a unit reports its status, so they can
// stay set after the work is done.) Whether the unit is still busy is for
// the library to say: its codes lead to polling and trying again.
void SaleMachine::StepPaying() {
  SaleRecord &r = sale_->rec;
  if (!c_.unit.Poll()) {
    OnCode(c_.unit.LastCode(), "reading the money units");
    return;
  }
  // Money still arriving (a coin that was on its way when acceptance went
  // off) counts as inserted and is paid back with the rest.
  r.credit = c_.unit.Credit();
  r.inserted = InsertedValue(c_.unit.Units());
  r.paid = PaidValue(c_.unit.Units());
  if (r.credit == 0) {
    Enter(SaleState::kEnding);
    return;
  }
  if (r.step == SaleStep::kWaiting && ++sale_->tries <= UnitPoller::kMaxPolls)
    return;
  r.step = SaleStep::kPaying;
  sale_->tries = 0;
  if (!Save()) return;
  std::string point = StateName(r.state);
  c_.Crash(point + ":before");
  uint16_t code = c_.unit.Run("TAVO_PayBack", &Exports::PayBack);
  if (code != 0) {
    if (OnCode(code, "paying back the credit") &&
        DescribeCode(code).next == TAVOCTL_NEXT_READ_BOARD) {
      // The payout may have started: give the units the time of a payout
      // to show it before paying again, so that nothing is paid twice.
      r.step = SaleStep::kWaiting;
      sale_->tries = 0;
      Save();
    }
    return;
  }
  c_.Crash(point + ":after");
  TellPayout();
  r.step = SaleStep::kWaiting;
  sale_->tries = 0;
  Save();
}

void SaleMachine::StepEnding() {
  SaleRecord &r = sale_->rec;
  c_.Crash("ending:before");
  // Polls the units once closed, and journals the trade's tally.
  uint16_t code = CloseTrade(c_, {"sale", r.id});
  if (code != 0) {
    OnCode(code, "closing the trade");
    return;
  }
  c_.Crash("ending:after");
  Finish(r.charged ? SaleState::kDone : SaleState::kCancelled);
}

// ------------------------------------------------------------- the jobs

Answer SaleMachine::Create(uint32_t price) {
  if (Active()) {
    return Problem(409, "sale-in-progress", "Another sale is in progress",
                   "sale " + std::to_string(sale_->rec.id) +
                       " is still in state " + StateName(sale_->rec.state) +
                       "; one sale runs at a time");
  }
  Answer refusal;
  if (!operations_.MayBegin(&refusal)) return refusal;
  Sale s;
  s.rec.price = price;
  s.rec.state = SaleState::kOpening;
  s.rec.createdMs = s.rec.updatedMs = NowMs();
  if (!c_.journal.Insert(&s.rec)) {
    c_.CheckJournal();
    return JournalRefused(c_.journal.LastError());
  }
  sale_ = std::move(s);
  c_.events("sale", SaleView(sale_->rec));
  Advance();
  return Ok(SaleView(sale_->rec), 201);
}

Answer SaleMachine::Get(int64_t id) {
  if (sale_ && sale_->rec.id == id) return Ok(SaleView(sale_->rec));
  std::optional<SaleRecord> r = c_.journal.Sale(id);
  if (!r) {
    return Problem(404, "no-such-sale", "No such sale",
                   "there is no sale " + std::to_string(id));
  }
  return Ok(SaleView(*r));
}

Answer SaleMachine::List(const SaleQuery &q) {
  SaleQuery more = q;
  ++more.limit;  // one more than the page: whether there is a next page
  std::vector<SaleRecord> rows = c_.journal.FindSales(more);
  json::array a;
  for (size_t i = 0; i < rows.size() && i < size_t(q.limit); ++i) {
    const SaleRecord &r = rows[i];
    a.push_back(SaleView(sale_ && sale_->rec.id == r.id ? sale_->rec : r));
  }
  json::object o{{"sales", std::move(a)}};
  // Only where there is a next page: the answer of the last one stays as
  // it always was.
  if (rows.size() > size_t(q.limit)) o["next"] = rows[q.limit - 1].id;
  return Ok(std::move(o));
}

Answer SaleMachine::Cancel(int64_t id) {
  if (!sale_ || sale_->rec.id != id) {
    if (c_.journal.Sale(id)) {
      return Problem(409, "sale-finished", "The sale is finished",
                     "sale " + std::to_string(id) + " is no longer running");
    }
    return Problem(404, "no-such-sale", "No such sale",
                   "there is no sale " + std::to_string(id));
  }
  SaleRecord &r = sale_->rec;
  if (r.Finished()) {
    return Problem(
        409, "sale-finished", "The sale is finished",
        "sale " + std::to_string(id) + " ended as " + StateName(r.state));
  }
  if (r.charged || r.state == SaleState::kPayingChange) {
    return Problem(409, "sale-charged", "The sale can no longer be cancelled",
                   "the price has been charged; the change is being paid");
  }
  if (r.state == SaleState::kCharging && r.step != SaleStep::kNone) {
    return Problem(409, "sale-charging", "The sale can no longer be cancelled",
                   "the charge has been sent to the unit; the sale ends "
                   "with its change, or pays everything back if the charge "
                   "did not count");
  }
  if (!r.cancelRequested) {
    r.cancelRequested = true;
    Save();
  }
  if (c_.unit.IsOpen() && !IsRecovering(r.step)) Advance();
  return Ok(SaleView(r), 202);
}

}  // namespace tavod
