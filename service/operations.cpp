#include "operations.h"

#include <thread>

#include "views.h"

namespace tavod {
namespace json = boost::json;

Operations::Operations(Context &context, std::function<void()> reopen)
    : c_(context), reopen_(std::move(reopen)) {}

void Operations::Resume(Operation op) {
  op_ = std::move(op);
  op_->detail = "cut short (step " + op_->step + "), settled after a restart";
}

void Operations::SettleAgain() {
  settled_ = false;
  stuck_ = false;
  step_ = Step::kBegin;
  tries_ = 0;
}

bool Operations::MayBegin(Answer *refusal) {
  if (c_.stopping) {
    *refusal = Problem(503, "stopping", "The service is stopping",
                       "try again once it has started again");
    return false;
  }
  if (!c_.unit.IsOpen()) {
    *refusal =
        UnitUnavailable("the unit could not be opened; see GET /v1/unit");
    return false;
  }
  if (!settled_) {
    *refusal =
        Problem(503, "unit-settling", "The unit's last trade is not settled",
                stuck_ ? "the unit holds money an open incident is about, or "
                         "a trade that could not be settled: see GET "
                         "/v1/incidents; resolving the incident pays the "
                         "money out, a reset settles the trade again"
                       : "the unit's last trade is being settled; try again "
                         "in a moment");
    return false;
  }
  if (op_ && op_->kind == "refill") {
    *refusal = Problem(
        409, "refill-in-progress", "A refill is in progress",
        "refill " + std::to_string(op_->id) + " is counting; close it first");
    return false;
  }
  if (c_.journal.Faulted() && !c_.journal.KeepReserve()) {
    *refusal = Problem(
        503, "journal", "The journal cannot be written",
        "the journal's disk is full or failing: " + c_.journal.LastError());
    return false;
  }
  return true;
}

std::optional<Answer> Operations::Begin(Operation &op) {
  op.state = "running";
  op.createdMs = op.updatedMs = NowMs();
  if (!c_.journal.InsertOperation(&op)) {
    c_.CheckJournal();
    return JournalRefused(c_.journal.LastError());
  }
  op_ = op;
  counts_ = {};
  return std::nullopt;
}

bool Operations::Save() {
  op_->updatedMs = NowMs();
  if (c_.journal.SaveOperation(*op_)) return true;
  c_.CheckJournal();
  return false;
}

void Operations::Finish(const std::string &state) {
  op_->state = state;
  op_->step.clear();
  if (op_->kind == "refill" || op_->kind == "collection") KeepCounts();
  Save();
  if (op_->paid) c_.metrics.PaidOut(op_->paid);
  c_.events("operation", json::object{{"id", op_->id},
                                      {"kind", op_->kind},
                                      {"state", state},
                                      {"paid", op_->paid}});
  if (op_->kind == "refill") TellRefill();
  finished_ = *op_;
  op_.reset();
}

// An operator payout in a trade of its own, journaled like a sale: before
// the trade begins, before the payout is sent and once it is measured. A
// payout cut short (the service killed, the trade not closed) is settled at
// the next open from what the unit carries, never sent again.
Answer Operations::Payout(uint32_t amount) { return PayOut("payout", amount); }

Answer Operations::PayOut(const std::string &kind, uint32_t amount) {
  Answer refusal;
  if (!MayBegin(&refusal)) return refusal;
  Operation op;
  op.kind = kind;
  op.amount = amount;
  op.step = "begin";
  if (auto refused = Begin(op)) return *refused;
  UnitPoller &unit = c_.unit;
  uint16_t code = unit.Run("TAVO_TradeBegin", &Exports::TradeBegin);
  if (code != 0) {
    op_->lastCode = code;
    op_->detail = "the unit refused the payout's trade";
    Finish("failed");
    return UnitProblem(502, "The unit refused the payout's trade", code);
  }
  c_.Crash(kind + ":after-trade-begin");
  if (unit.ReadBoard()) {
    TakeMeterBase(unit.Board(), op_->meterBase);
    op_->meterBaseKnown = true;
  }
  op_->step = "paying";
  if (!Save()) {
    // Nothing is paid that the journal does not hold; the trade is closed
    // at once (it holds no money yet) by the settling at the next tick.
    settled_ = false;
    step_ = Step::kEnd;
    return JournalRefused(c_.journal.LastError());
  }
  c_.Crash(kind + ":before");
  code = unit.Run("TAVO_PayOut", &Exports::PayOut, amount);
  c_.Crash(kind + ":after");
  if (code == 0) {
    // The payout runs on the units: wait for them to report it.
    for (int i = 0; i < UnitPoller::kMaxPolls; ++i) {
      if (unit.Poll() && PaidValue(unit.Units()) >= amount) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // Whatever the code, the units are measured and the trade closed by the
  // settling steps: a payout that may have started counts by its effect.
  int64_t id = op_->id;
  op_->lastCode = code;
  op_->paid = PaidValue(unit.Units());
  op_->step = "ending";
  Save();
  settled_ = false;
  step_ = code == 0 ? Step::kEnd : Step::kMeasure;
  tries_ = 0;
  if (code == 0) Settle();
  json::object o;
  o["id"] = id;
  o["kind"] = kind;
  o["state"] = op_ ? op_->state : finished_.state;
  o["amount"] = amount;
  o["paid"] = op_ ? op_->paid : finished_.paid;
  if (op_) {
    // The trade could not be closed yet: the settling goes on.
    json::object f;
    AddCode(f, unit.LastCode());
    o["trade_end_failure"] = std::move(f);
  }
  if (code != 0) return UnitProblem(502, "The unit refused the payout", code);
  return Ok(std::move(o));
}

// Journaled as an operation: a reset drops whatever trade the board held
// in its memory, and the open after it settles what the units kept.
Answer Operations::Reset() {
  if (!c_.unit.IsOpen()) return UnitUnavailable();
  if (Settling()) {
    return Problem(503, "unit-settling", "The unit's last trade is not settled",
                   "the unit's last trade is being settled; try again in a "
                   "moment");
  }
  Operation op;
  op.kind = "reset";
  op.step = "reset";
  if (auto refused = Begin(op)) return *refused;
  uint16_t code = c_.unit.Run("TAVO_Reset", &Exports::Reset);
  if (code != 0) {
    op_->lastCode = code;
    op_->detail = "the board was not reset";
    Finish("failed");
    return UnitProblem(502, "The board was not reset", code);
  }
  c_.unit.Dropped();
  c_.Crash("reset:after");
  // The open settles whatever the units kept; the operation ends with it.
  reopen_();
  return Ok(json::object{{"reset", true}, {"connected", c_.unit.IsOpen()}});
}

Answer Operations::List() {
  json::array a;
  for (const Operation &op : c_.journal.RecentOperations(50)) {
    a.push_back(OperationView(op_ && op_->id == op.id ? *op_ : op));
  }
  return Ok(json::object{{"operations", std::move(a)}});
}

Answer Operations::ListIncidents(bool openOnly) {
  json::array a;
  for (const Incident &i : c_.journal.Incidents(openOnly)) {
    a.push_back(IncidentView(i));
  }
  return Ok(json::object{{"incidents", std::move(a)}});
}

Answer Operations::ResolveIncident(int64_t id, const std::string &note) {
  if (!c_.journal.CloseIncident(id, note)) {
    return Problem(404, "no-such-incident", "No such open incident",
                   "there is no open incident " + std::to_string(id));
  }
  c_.CountIncidents();
  if (stuck_ && c_.unit.IsOpen() && !c_.OwedInIncident()) {
    SettleAgain();  // the money an incident held in the unit is paid out now
  }
  return Ok(json::object{{"id", id}, {"open", false}, {"note", note}});
}

}  // namespace tavod
