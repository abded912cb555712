// Refills: the operator tops the stock up through a trade of its own.
// Acceptance goes on for as much as the unit takes in one trade, the coins
// and notes are counted live from the units' records (journaled and told
// as `refill` events), and closing switches acceptance off and hands the
// trade to the settling steps. There the credit is charged, not paid back:
// TAVO_TradeEnd closes a trade only at credit 0, and a charge is the one
// way the protocol has to keep the money. The board's charged meter
// therefore counts refills as it counts sales; the journal tells them
// apart (operations of kind "refill", never rows of the sales).
//
// A refill cut short (the service killed, the unit reopened) is settled
// like any operation the last run left: TAVO_TradeBegin carries its trade
// on, with the money not yet charged as credit and the charges made on the
// board's trade meter, and the credit is charged there. What the refill
// kept is the charged meter once the credit is 0.
#include <algorithm>

#include "operations.h"
#include "views.h"

namespace tavod {
namespace json = boost::json;
namespace {

// TAVO_AcceptEx takes the limit in 16 bits and at most 7 notes a trade;
// coins stop at 90 of a denomination (the unit counts 99).
constexpr uint32_t kRefillLimit = 0xFFFF;
constexpr uint32_t kRefillNotes = 7;
// TAVO_Charge charges at most this much in one call.
constexpr uint32_t kMostCharge = 32767;

const char *RefillState(const Operation &op) {
  if (op.state == "running")
    return op.step == "counting" ? "counting" : "closing";
  return op.state == "done" ? "done" : "failed";
}

json::object RefillView(const Operation &op, const DenominationCounts &c) {
  json::object counted;
  for (int k = 0; k < 5; ++k) counted[std::to_string(kValues[k])] = c.in[k];
  json::object o{{"id", op.id},
                 {"state", RefillState(op)},
                 {"counted", std::move(counted)},
                 {"amount", op.amount},
                 {"created_ms", op.createdMs},
                 {"updated_ms", op.updatedMs},
                 {"detail", op.detail}};
  o["last_failure"] = FailureView(op.lastCode);
  return o;
}

}  // namespace

void Operations::KeepCounts() {
  DenominationCounts counts = counts_;
  KeepLargerCounts(c_.unit.Units(), counts.in, counts.out);
  if (counts == counts_) return;
  // A trade carried on after a restart holds the coins counted before it.
  if (!c_.journal.SaveOperationCounts(op_->id, counts)) c_.CheckJournal();
  counts_ = counts;
}

void Operations::TellRefill() {
  c_.events("refill", RefillView(*op_, counts_));
}

Answer Operations::OpenRefill() {
  if (auto refused = OpenTrade("refill", 0, "refill")) return *refused;
  UnitPoller &unit = c_.unit;
  uint16_t code =
      unit.Run("TAVO_AcceptEx", &Exports::AcceptEx, kRefillLimit, kRefillNotes);
  if (code != 0) {
    // The trade holds nothing yet: the settling closes it.
    op_->lastCode = code;
    op_->detail = "acceptance could not be switched on";
    op_->step = "closing";
    Save();
    settled_ = false;
    step_ = Step::kMeasure;
    tries_ = 0;
    return UnitProblem(502, "Acceptance could not be switched on", code);
  }
  op_->step = "counting";
  Save();
  c_.Crash("refill:counting");
  unit.Poll();
  unit.Publish();
  TellRefill();
  return Ok(RefillView(*op_, counts_), 201);
}

void Operations::StepRefill() {
  UnitPoller &unit = c_.unit;
  // The poll keeps the trade going (it takes a held note in); a unit lost
  // here is reopened, and the open settles the refill's trade.
  if (!unit.Poll()) return;
  uint32_t amount = InsertedValue(unit.Units());
  DenominationCounts before = counts_;
  KeepCounts();
  if (counts_ == before && amount == op_->amount) return;
  op_->amount = amount;
  Save();
  TellRefill();
}

Answer Operations::GetRefill(int64_t id) {
  if (op_ && op_->id == id && op_->kind == "refill") {
    return Ok(RefillView(*op_, counts_));
  }
  std::optional<Operation> op = c_.journal.OperationById(id);
  if (!op || op->kind != "refill") {
    return Problem(404, "no-such-refill", "No such refill",
                   "there is no refill " + std::to_string(id));
  }
  return Ok(RefillView(*op, c_.journal.OperationCounts(id)));
}

Answer Operations::CloseRefill(int64_t id) {
  if (!op_ || op_->id != id || op_->kind != "refill") {
    if (Answer a = GetRefill(id); a.status != 200) return a;
    return Problem(409, "refill-finished", "The refill is finished",
                   "refill " + std::to_string(id) + " is no longer counting");
  }
  if (!Refilling()) return Ok(RefillView(*op_, counts_), 202);
  // Acceptance off first: what is counted from here on is all there is.
  UnitPoller &unit = c_.unit;
  uint16_t code = unit.Run("TAVO_AcceptEx", &Exports::AcceptEx, 0u, 0u);
  if (code != 0) op_->lastCode = code;  // the trade's end switches it off
  op_->step = "closing";
  Save();
  c_.Crash("refill:closing");
  TellRefill();
  settled_ = false;
  step_ = Step::kMeasure;
  tries_ = 0;
  Settle();
  const Operation &op = op_ ? *op_ : finished_;
  return Ok(RefillView(op, counts_), 202);
}

// The refill's trade measured (units idle, board read): the money not yet
// charged is the credit; charged, it stays in the stock.
void Operations::MeasureRefill() {
  const PcbData &board = c_.unit.Board();
  uint32_t charged = board.Meters[8], credit = board.Credit;
  KeepCounts();
  // Never less than was journaled: a trade already closed before the
  // service died measures 0.
  op_->amount = std::max(op_->amount, charged + credit);
  charging_ = 0;
  op_->step = credit > 0 ? "charging" : "ending";
  Save();
  step_ = credit > 0 ? Step::kCharge : Step::kEnd;
  tries_ = 0;
}

void Operations::ChargeRefill() {
  UnitPoller &unit = c_.unit;
  if (charging_ == 0) {
    charging_ = std::min<uint32_t>(unit.Board().Credit, kMostCharge);
  }
  c_.Crash("refill:before-charge");
  uint16_t code = unit.Run("TAVO_Charge", &Exports::Charge, charging_);
  if (code != 0) {
    // 0x137A (the charge may have been made) is called again with the
    // same amount, and the library never charges twice.
    Retry(code, "charging the refill's credit");
    return;
  }
  c_.Crash("refill:after-charge");
  charging_ = 0;
  step_ = Step::kMeasure;  // more to charge, or the end
  tries_ = 0;
}

}  // namespace tavod
