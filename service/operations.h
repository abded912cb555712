// Operations other than sales, each journaled: the operator's payouts and
// resets, and the settling of the trade the unit carries after an open (a
// payout cut short, a sale the journal lost), which finishes an operation
// the last run left running. Until the trade is settled no sale or payout
// begins. Incidents are resolved here too: resolving one may let the money
// it held in the unit be paid out.
#ifndef TAVOD_OPERATIONS_H
#define TAVOD_OPERATIONS_H

#include <functional>
#include <optional>

#include "answer.h"
#include "context.h"

namespace tavod {

class Operations {
 public:
  // `reopen` opens the unit again (after a reset).
  Operations(Context &context, std::function<void()> reopen);

  // An operation the last run did not finish: settled at the next open.
  void Resume(Operation op);
  // The trade is settled again from the start (after an open, a failed
  // sale, a resolved incident).
  void SettleAgain();
  // A sale closed the trade.
  void MarkSettled() { settled_ = true; }
  bool Settled() const { return settled_; }
  bool Stuck() const { return stuck_; }
  // The settling steps have work to do.
  bool Settling() const { return !settled_ && !stuck_; }
  // Whether a sale or payout may begin now; the refusal otherwise.
  bool MayBegin(Answer *refusal);
  // One step of the settling (settle.cpp).
  void Settle();

  // The jobs; the worker has refused them while a sale runs.
  Answer Payout(uint32_t amount);
  Answer Reset();
  Answer List();
  Answer ListIncidents(bool openOnly);
  Answer ResolveIncident(int64_t id, const std::string &note);

  // A refill (refill.cpp): a trade of its own in which the operator
  // inserts money, counted live, until it is closed; closing charges the
  // credit so that the trade can end with the money kept in the stock.
  Answer OpenRefill();
  Answer GetRefill(int64_t id);
  Answer CloseRefill(int64_t id);
  // A refill is counting: the worker polls it (StepRefill) each tick.
  bool Refilling() const { return settled_ && op_ && op_->kind == "refill"; }
  void StepRefill();
  // What lies above the float `keep` (10, 50, 100, 500, 1000), and what
  // the unit will pay of it; paid out as an operation when confirmed
  // (collection.cpp).
  Answer Collect(const uint32_t keep[5], bool confirm);

 private:
  enum class Step { kBegin, kMeasure, kPay, kWait, kEnd, kCharge };

  // A payout of `amount` as an operation of `kind` (payout, collection).
  Answer PayOut(const std::string &kind, uint32_t amount);
  // A refill's trade measured: its credit is charged, then the trade ends.
  void MeasureRefill();
  void ChargeRefill();
  // The operation's coins and notes as the trade counted them, journaled;
  // a refill's told as an event.
  void KeepCounts();
  void TellRefill();
  static bool PaysOut(const std::string &kind) {
    return kind == "payout" || kind == "collection";
  }

  void Measure();
  void Retry(uint16_t code, const char *what);
  void GiveUp(uint16_t code, const std::string &detail, uint32_t owed);
  // Starts a journaled operation; the refusal when the journal refuses it.
  std::optional<Answer> Begin(Operation &op);
  bool Save();
  void Finish(const std::string &state);

  Context &c_;
  std::function<void()> reopen_;
  // The trade found at the last open has been settled (or was none).
  bool settled_ = false;
  bool stuck_ = false;           // settling failed: an incident is open
  std::optional<Operation> op_;  // the operation under way or being settled
  Operation finished_;           // the last one finished
  Step step_ = Step::kBegin;
  int tries_ = 0;
  uint32_t charging_ = 0;      // a refill's charge sent, to send again as is
  DenominationCounts counts_;  // the operation's, as last journaled
};

}  // namespace tavod

#endif  // TAVOD_OPERATIONS_H
