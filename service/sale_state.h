// The states of a sale and the steps inside them, as the sale's state
// machine knows them. Their names are written only where a sale leaves the
// process: in the journal and in the JSON.
//
//   opening        trade begun, meters read (the base for a restart),
//                  acceptance switched on up to the price
//   accepting      the customer inserts money; polled until the credit
//                  reaches the price or the customer cancels
//   charging       the price is charged against the credit
//   paying_change  the rest of the credit is paid back ("paying": the
//                  payout is being started; "waiting": until the units
//                  report it done)
//   cancelling     the whole credit is paid back, with the same steps
//   ending         the trade is closed
//   done, cancelled, failed
// A restart (or a unit opened anew) settles an unfinished sale through the
// recover steps from the board's meters, whatever state it had reached.
#ifndef TAVOD_SALE_STATE_H
#define TAVOD_SALE_STATE_H

#include <string_view>

namespace tavod {

enum class SaleState {
  kOpening,
  kAccepting,
  kCharging,
  kPayingChange,
  kCancelling,
  kEnding,
  kDone,
  kCancelled,
  kFailed,
};

enum class SaleStep {
  kNone,
  kBegun,       // opening: the trade is begun
  kChargeSent,  // charging: the charge may have been made
  kPaying,      // paying_change, cancelling: the payout is being started
  kWaiting,     // ... until the units report it done
  // Settling after a restart or a reopened unit (see sale_recovery.cpp).
  kRecover,       // the charge still to be read from the board
  kRecoverAgain,  // the charge fixed by an earlier recovery
  kRecoverBegin,
  kRecoverMeasure,
  kRecoverWait,
  kRecoverPay,
  kRecoverPaying,
  kRecoverEnd,
};

const char *StateName(SaleState state);
const char *StepName(SaleStep step);
// A name this build does not know (a journal a newer build wrote): a state
// reads as unfinished, so that the sale is settled from the board's meters
// like any other the last run left (whether it was charged is read there);
// a step reads as none.
SaleState StateNamed(std::string_view name);
SaleStep StepNamed(std::string_view name);

inline bool IsFinished(SaleState s) {
  return s == SaleState::kDone || s == SaleState::kCancelled ||
         s == SaleState::kFailed;
}
// Before the charge: the money is still the customer's.
inline bool BeforeCharge(SaleState s) {
  return s == SaleState::kOpening || s == SaleState::kAccepting ||
         s == SaleState::kCharging;
}
inline bool IsRecovering(SaleStep s) { return s >= SaleStep::kRecover; }
// Recovery has read the charge from the board (or the journal holds it).
inline bool ChargeFixed(SaleStep s) { return s > SaleStep::kRecover; }

}  // namespace tavod

#endif  // TAVOD_SALE_STATE_H
