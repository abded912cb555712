#include "tally.h"

#include <algorithm>

#include "context.h"

namespace tavod {

// A note held in the escrow when the trade closes is stacked by the close:
// the money's counts take it as in.
void ClosingCounts::Take(const TavoData &units) {
  KeepLargerCounts(units, in, out);
  taken = true;
}

void TakeStock(const TavoData &units, uint32_t stock[kDenominations]) {
  for (int k = 0; k < 4; ++k) stock[k] = units.CoinStock[k];
  stock[4] = units.BillStock;
}

uint16_t CloseTrade(Context &c, const TradeOwner &owner) {
  UnitPoller &unit = c.unit;
  c.closing.Take(unit.Units());
  uint16_t code = unit.Run("TAVO_TradeEnd", &Exports::TradeEnd);
  if (code != 0) return code;
  unit.Poll();
  Tally t;
  t.atMs = NowMs();
  t.kind = owner.kind;
  t.saleId = owner.saleId;
  t.operationId = owner.operationId;
  std::copy(std::begin(c.closing.in), std::end(c.closing.in), t.in);
  std::copy(std::begin(c.closing.out), std::end(c.closing.out), t.out);
  TakeStock(unit.Units(), t.stock);
  c.closing.Clear();
  // A tally the journal cannot take leaves a difference in the day's
  // reconciliation; the trade is closed all the same.
  if (!c.journal.AddTally(&t)) c.CheckJournal();
  return 0;
}

}  // namespace tavod
