// The guards the trade and money exports pass before they act: no command
// left pending, no payout running, a trade open, the status fresh.
#include "os/os.h"
#include "state/state.h"
#include "trade/trade.h"

bool AnyPending() { return Unit.CoinPending != 0 || Unit.BillPending != 0; }

bool UnitPaying() {
  return (Unit.LiveRecord.CoinFlags & CoinPayoutBit) != 0 ||
         (Unit.LiveRecord.BillFlags & BillPayoutBit) != 0;
}

namespace {
bool Unconfirmed() {
  return ((Unit.CoinPending | Unit.BillPending) & PendingUnconfirmed) != 0;
}
}  // namespace

// A payout whose command went out without a readable acknowledgement may be
// running or may never have started; the unit tells which. If it started,
// its status changes (it is paying, or reports the payout done) and its
// counts move. If it never started, it goes on reporting itself stopped
// with its counts unchanged, and after a whole idle wait of such reports
// (ten refreshes 100 ms apart, none failed) the payout is known never to
// have started and is forgotten: the money it was to pay is still in the
// credit. Anything else leaves it unconfirmed.
int ResolveUnconfirmedPayouts() {
  int quietCoin = 0;
  int quietBill = 0;
  for (int attempt = 0; attempt < kIdleTries && Unconfirmed(); ++attempt) {
    if (attempt > 0) OsSleep(kPauseMs);
    int r = -RefreshStatus();
    bool coinSeen = (r & RefreshCoinFailed) == 0;
    bool billSeen = (r & RefreshBillFailed) == 0;
    quietCoin = coinSeen && CoinIdle() ? quietCoin + 1 : 0;
    quietBill = billSeen && BillIdle() ? quietBill + 1 : 0;
  }
  int neverStarted = 0;
  if ((Unit.CoinPending & PendingUnconfirmed) && quietCoin == kIdleTries) {
    Unit.CoinPending &=
        static_cast<uint8_t>(~(PendingPayout | PendingUnconfirmed));
    neverStarted |= RefreshCoinFailed;
  }
  if ((Unit.BillPending & PendingUnconfirmed) && quietBill == kIdleTries) {
    Unit.BillPending &=
        static_cast<uint8_t>(~(PendingPayout | PendingUnconfirmed));
    neverStarted |= RefreshBillFailed;
  }
  MirrorPendingInFlags();
  return neverStarted;
}

uint16_t PendingRefusal(uint8_t function, uint8_t ignored) {
  if (AnyPending() && Unconfirmed()) ResolveUnconfirmedPayouts();
  uint8_t keep = static_cast<uint8_t>(~ignored);
  if ((Unit.CoinPending & keep) == 0 && (Unit.BillPending & keep) == 0) {
    Unit.RefusedWhilePending = 0;
    return TAVO_OK;
  }
  return RefuseWhilePending(function, Reason::Pending);
}

uint16_t RefuseWhilePending(uint8_t function, uint8_t reason) {
  if (++Unit.RefusedWhilePending >= kPendingRefusalsBeforeReopen)
    return Code(function, Reason::Reopen);
  return Code(function, reason);
}

uint16_t ReadyForMoney(uint8_t function) {
  if (Unit.PcbRecord.TradeId == 0) return Code(function, Reason::NoTrade);
  if (int r = RefreshStatus())
    return RefreshCode(function, Reason::RefreshFailed, r);
  // A trade end that has begun to settle the units is finished first.
  if (Unit.TradeClosing) return Code(function, Reason::Pending);
  if (uint16_t code = PendingRefusal(function)) return code;
  if (UnitPaying()) return Code(function, Reason::Paying);
  return TAVO_OK;
}
