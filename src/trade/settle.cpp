// Settling the money units and closing a trade's counts.
#include <utility>

#include "commands/commands.h"
#include "os/os.h"
#include "state/state.h"
#include "trade/trade.h"

int SettleUnits() {
  if (BillFitted()) {
    if (BillCtrl(BillSettle) != 0) return -2;
    Unit.BillPending |= PendingSettle;
  }
  if (CoinFitted()) {
    if (CoinCtrl(CoinSettle) != 0) return -1;
    Unit.CoinPending |= PendingSettle;
  }
  return 0;
}

namespace {

// Polls until `unit` (RefreshCoinFailed or RefreshBillFailed) has reported
// its settle done: its own report of the settle (or, after a report lost on
// the line, a full read showing its trade counts closed), never the
// acknowledgement of the command alone, which a unit can give and then not
// carry out.
bool AwaitSettleReport(int unit) {
  const uint8_t &pending =
      unit == RefreshCoinFailed ? Unit.CoinPending : Unit.BillPending;
  for (int attempt = 0; attempt < kIdleTries; ++attempt) {
    if (attempt > 0) OsSleep(kPauseMs);
    RefreshUnit(unit);
    if ((pending & PendingSettle) == 0) return true;
  }
  return false;
}

}  // namespace

// Each unit's settle closes its own counts only. Settled one after the
// other, the counts in between hold the trade's money less what the settled
// unit held: if that unit had paid out more than it took in (notes given as
// change for coins, say), the rest would show the customer a credit that was
// never theirs, to a reopen or a power cut at that moment. So the unit whose
// counts hold money for the trade goes first, and the other follows only
// once the first has reported its settle done; at every point between, the
// counts hold no more than the meter has charged. The charged-amount meter
// is cleared last, once both have reported: cleared before a settle that
// never happens, the charge would come back as credit and a payback pay
// for goods already sold.
uint16_t CloseTradeCounts(uint8_t fn) {
  // The notes counted on counter 0 go first: clearing them can only lower
  // what the counts hold.
  if (Unit.PcbRecord.Meters[4] != 0) {
    if (SendCounter(CounterNotes, 0) != 0)
      return Code(fn, Reason::CounterResetRefused);
  }
  int order[2] = {RefreshBillFailed, RefreshCoinFailed};
  if (CoinUnitNet() > NoteUnitNet()) std::swap(order[0], order[1]);
  for (int unit : order) {
    bool coin = unit == RefreshCoinFailed;
    if (!(coin ? CoinFitted() : BillFitted()) || (Unit.ClosedUnits & unit) != 0)
      continue;
    uint8_t &pending = coin ? Unit.CoinPending : Unit.BillPending;
    if ((pending & PendingSettle) == 0) {
      if ((coin ? CoinCtrl(CoinSettle) : BillCtrl(BillSettle)) != 0)
        return Code(
            fn, coin ? Reason::CoinSettleRefused : Reason::NoteSettleRefused);
      pending |= PendingSettle;
      MirrorPendingInFlags();
    }
    if (!AwaitSettleReport(unit))
      return RefuseWhilePending(fn, coin ? Reason::CoinSettleUnreported
                                         : Reason::NoteSettleUnreported);
    Unit.ClosedUnits = static_cast<uint8_t>(Unit.ClosedUnits | unit);
  }
  // Counter 0 is seen cleared on the board itself before the charge goes: a
  // board that acknowledges a clear it has not made would carry the notes
  // into the next trade. (A charged amount left standing the same way is
  // cleared and checked by the next trade's begin, or closed again by the
  // next open.)
  if (Unit.PcbRecord.Meters[4] != 0) {
    if (PollBoard() != 0) {
      DoubtDevice(RefreshBoardFailed);
      return Code(fn, Reason::CounterResetRefused);
    }
    SyncNotesFromBoard();
    if (Unit.PcbRecord.Meters[4] != 0) {
      SendCounter(CounterNotes, 0);  // read back by the next call
      return Code(fn, Reason::CounterResetRefused);
    }
  }
  // The meter is not taken as cleared until the board reports it so: a
  // board poll reports only what changed, and a reset the board did not
  // make must still show to the next trade's begin.
  if (SendCounter(CounterAmount, 0) != 0)
    return Code(fn, Reason::CounterResetRefused);
  SyncNotesFromBoard();
  Unit.ClosedUnits = 0;
  Unit.TradeClosing = false;
  Unit.RefusedWhilePending = 0;
  ComputeCredit();
  return TAVO_OK;
}
