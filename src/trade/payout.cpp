// Change: whether the stock can pay an amount, and starting the payouts.
#include "commands/commands.h"
#include "state/state.h"
#include "tavoctl_change.h"
#include "trade/trade.h"

// The split and the check are the public change rule's (tavoctl_change.h),
// so that an application or the service that asks the rule in advance gets
// the library's own answer.
uint32_t NotesFor(uint32_t value) {
  tavoctl_change change;
  tavoctl_change_split(&Unit.LiveRecord, value, &change);
  return change.notes;
}

bool ChangePayable(uint32_t value) {
  return tavoctl_change_split(&Unit.LiveRecord, value, nullptr) != 0;
}

int StartCoinPayout(uint16_t coins) {
  if (!CoinFitted() || coins == 0) return 0;
  MarkCoinPayout();
  if (CoinPayout(coins) == 0) {
    Unit.CoinPending |= PendingPayout;
    return 0;
  }
  if (LastDelivery() == Delivery::NotSent) return PayoutCoinFailed;
  Unit.CoinPending |= PendingPayout | PendingUnconfirmed;
  return PayoutCoinUnconfirmed;
}

// Starts the note payout, then the coin payout; a note payout that failed,
// or whose answer was lost, starts no coin payout. The coin unit picks the
// coins for the amount itself. A payout command that went out without a
// readable answer may be running: it is marked pending and unconfirmed,
// never taken for "nothing paid".
int StartPayout(uint16_t notes, uint16_t coins) {
  if (BillFitted() && notes > 0) {
    MarkBillPayout();
    if (BillPayout(static_cast<uint8_t>(notes)) != 0) {
      if (LastDelivery() == Delivery::NotSent) return PayoutNoteFailed;
      Unit.BillPending |= PendingPayout | PendingUnconfirmed;
      return PayoutNoteUnconfirmed;
    }
    Unit.BillPending |= PendingPayout;
  }
  return StartCoinPayout(coins);
}
