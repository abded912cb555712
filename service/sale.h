// The sale's state machine, over the library's exports and the journal:
// one sale at a time, each step journaled before the call that may move
// money and after it, each failure code followed by its next step. A sale
// the last run left, or one whose unit was opened anew, is settled from
// the board (sale_recovery.cpp).
#ifndef TAVOD_SALE_H
#define TAVOD_SALE_H

#include <chrono>
#include <optional>

#include "answer.h"
#include "context.h"
#include "operations.h"
#include "virtual_jobs.h"

namespace tavod {

class SaleMachine {
 public:
  using Clock = std::chrono::steady_clock;

  SaleMachine(Context &context, Operations &operations,
              const VirtualJobs &virtualUnit);

  // A sale is under way.
  bool Active() const { return sale_ && !sale_->rec.Finished(); }
  std::optional<int64_t> ActiveId() const;
  // The sale the last run did not finish: settled through recovery.
  void Resume(const SaleRecord &rec);
  // The unit was opened anew while the sale ran: the library's trade is
  // gone with the old connection, so the sale is settled from the meters.
  void UnitReopened();
  // The unit is closed: past the fault time-out the sale fails.
  void UnitAway(Clock::time_point now);
  // The journal has refused the sale's steps for the whole fault time.
  void CheckJournalLost(Clock::time_point now);
  // One step of the sale with the unit open.
  void Step();

  // The jobs.
  Answer Create(uint32_t price);
  Answer Get(int64_t id);
  // Newest first, as `q` selects; "next" is the cursor of the next page.
  Answer List(const SaleQuery &q);
  Answer Cancel(int64_t id);

 private:
  struct Sale {
    SaleRecord rec;
    int tries = 0;  // calls of the current step that did not succeed
    Clock::time_point unitLostSince{};
    uint32_t framesAtStart = 0;
    bool counting = false;
    // Since when the journal refuses this sale's steps (zero: it writes).
    Clock::time_point journalLostSince{};
  };

  void Advance();
  void StepOpening();
  void StepAccepting();
  void StepCharging();
  void StepPaying();
  void StepEnding();
  void StepRecover();  // sale_recovery.cpp
  bool RecoverMeasured();
  // The money the units counted in and out, as the sale's figures.
  void TakeFigures(const Metered &m, bool metersCount);
  bool Save();  // false when the journal could not be written
  void Enter(SaleState state, SaleStep step = SaleStep::kNone);
  void Finish(SaleState state);
  void Fail(uint16_t code, const std::string &detail, uint32_t owed);
  // What to do after a failure code; false when the sale failed.
  bool OnCode(uint16_t code, const char *what);
  // A payout sent: told as an event.
  void TellPayout();

  Context &c_;
  Operations &operations_;
  const VirtualJobs &virtual_;
  std::optional<Sale> sale_;
};

}  // namespace tavod

#endif  // TAVOD_SALE_H
