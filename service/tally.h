// Closing a trade, and the tally of its money: the one way a sale or an
// operation (a payout, a refill, a collection, the settling of a trade
// found at an open) closes the unit's trade. TAVO_TradeEnd settles the
// units, which closes their counts of the trade, so the coins and notes
// the trade took in and paid out are read from the units' last poll
// before it; the stock after it from the poll that follows. Both are
// journaled as one tally (journal.h), which the day report reconciles.
#ifndef TAVOD_TALLY_H
#define TAVOD_TALLY_H

#include <cstdint>

#include "journal.h"
#include "tavoctl.h"

namespace tavod {

struct Context;

// The units' counts of the trade being closed, kept across the calls of a
// close that fails part-way: a unit that has settled shows its counts as
// 0 from then on, the other still its own.
struct ClosingCounts {
  bool taken = false;
  uint32_t in[kDenominations] = {};
  uint32_t out[kDenominations] = {};
  // Takes the units' counts, keeping per denomination the larger (counts
  // only grow in a trade until its settle clears them).
  void Take(const TavoData &units);
  void Clear() { *this = ClosingCounts{}; }
};

// What the trade belonged to: kind "sale" with the sale's id, an
// operation's kind with its id, or "stock" (no sale or operation: a trade
// that moved nothing, closed when the unit's trade was settled).
struct TradeOwner {
  const char *kind;
  int64_t saleId = 0;
  int64_t operationId = 0;
};

// Calls TAVO_TradeEnd; when it succeeds, polls the units and journals the
// trade's tally for `owner`. The code of TAVO_TradeEnd (the caller
// follows it as before).
uint16_t CloseTrade(Context &c, const TradeOwner &owner);

// The stock the units hold, per denomination.
void TakeStock(const TavoData &units, uint32_t stock[kDenominations]);

}  // namespace tavod

#endif  // TAVOD_TALLY_H
