// Change: whether the stock can pay an amount, and starting the payouts.
#include "commands/commands.h"
#include "state/state.h"
#include "trade/trade.h"

// Notes of 1000 to pay for a value: as many as the value and the stock
// allow, but never more than nine, the most a single note payout command
// can carry (it holds one decimal digit of count; ten would go out as 0).
// A note unit that is not fitted (or has dropped out) pays nothing.
uint32_t NotesFor(uint32_t value) {
  if (!BillFitted()) return 0;
  uint32_t notes = value / 1000;
  if (notes > Unit.LiveRecord.BillStock) notes = Unit.LiveRecord.BillStock;
  if (notes > kMaxNotesPerPayout) notes = kMaxNotesPerPayout;
  return notes;
}

// Whether the stock can pay `value` exactly: notes first (at most nine),
// then 500, 100, 50 and 10. Each denomination divides the next larger one,
// so this greedy split finds a way whenever there is one.
//
// Only fitted units count: a unit that has dropped out (its id reported as
// 00 00) cannot pay, whatever stock it last reported. And a payout that
// would take a denomination's out-count in the trade past the 99 the unit's
// count stops at is not made: the coins beyond would be paid and never
// counted, and show again as credit.
bool ChangePayable(uint32_t value) {
  const TavoData &live = Unit.LiveRecord;
  uint32_t rest = value - 1000 * NotesFor(value);
  if (!CoinFitted()) return rest == 0;
  static const uint32_t kCoinValues[4] = {500, 100, 50, 10};
  static const int kStockIndex[4] = {3, 2, 1, 0};
  for (int i = 0; i < 4; ++i) {
    int k = kStockIndex[i];
    uint32_t take = rest / kCoinValues[i];
    if (take > live.CoinStock[k]) take = live.CoinStock[k];
    if (live.CoinOut[k] + take > 99) return false;
    rest -= kCoinValues[i] * take;
  }
  return rest == 0;
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
