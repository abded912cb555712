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

 private:
  enum class Step { kBegin, kMeasure, kPay, kWait, kEnd };

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
};

}  // namespace tavod

#endif  // TAVOD_OPERATIONS_H
