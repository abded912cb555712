// Trades and the control of money acceptance.
#include <utility>

#include "api/api.h"
#include "commands/commands.h"
#include "os/os.h"
#include "state/state.h"

// Switches acceptance of the fitted units, the note unit first. Commands go
// only where the unit's last reported state asks for one, except in the
// forced mode, which inhibits both whatever they reported.
//
// Notes are never switched on while a note is being taken in (a note
// follow-up pending): a second note would take the escrow before a poll had
// seen it empty, and the first note would never be counted. Nor once notes
// have been paid out in the trade: a held note could then not be taken in
// (the settle would close the count of notes paid out with it).
//
// Coins are switched off once a denomination's count in the trade nears
// the 99 the unit's count stops at: a coin beyond it would be taken and
// never counted.
int SetAcceptance(uint8_t mode) {
  if (BillFitted()) {
    bool on = (Unit.LiveRecord.BillFlags & BillAccepting) != 0;
    bool allowed = Unit.NoteLimit != 0 && Unit.LiveRecord.BillOut == 0;
    int sent = 0;
    if (mode == AcceptForceOff) {
      sent = BillCtrl(BillInhibit);
    } else if (mode == AcceptOff || !allowed) {
      if (on) sent = BillCtrl(BillInhibit);
    } else if (!on && Unit.BillPending == 0) {
      sent = BillCtrl(BillEnable);
    }
    if (sent != 0) return -2;
  }
  if (CoinFitted()) {
    bool on = (Unit.LiveRecord.CoinFlags & CoinAccepting) != 0;
    int sent = 0;
    if (mode == AcceptForceOff) {
      sent = CoinCtrl(CoinInhibit);
    } else if (mode == AcceptOff || !CoinCountsHaveRoom()) {
      if (on) sent = CoinCtrl(CoinInhibit);
    } else if (!on) {
      sent = CoinCtrl(CoinEnable);
    }
    if (sent != 0) return -1;
  }
  return 0;
}

// Acceptance is on while the credit is below the limit, off from the moment
// it reaches it. Its codes carry 0x12 and 0x13 whichever export runs it. The
// comparison is with the credit itself, not the value the 16-bit record
// holds it at.
uint16_t ApplyAcceptLimit() {
  if (Unit.PcbRecord.AcceptLimit > Unit.TrueCredit) {
    if (int r = SetAcceptance(AcceptOn)) return r == -1 ? 0x1261 : 0x1263;
  } else {
    if (int r = SetAcceptance(AcceptOff)) return r == -1 ? 0x1262 : 0x1264;
  }
  if (int r = RefreshStatus()) return RefreshCode(TAVO_FN_CHARGE, 0x40, r);
  return TAVO_OK;
}

// Polls until every fitted unit has reported that it stopped (or is paying
// out), at most ten times with 100 ms between. A side once done stays done.
// 0; +n when a refresh failed with -n; -2 coin, -3 note, -4 both not done.
int WaitUnitsIdle() {
  bool coinDone = !CoinFitted();
  bool billDone = !BillFitted();
  for (int attempt = 0; attempt < kIdleTries; ++attempt) {
    if (int r = RefreshStatus()) return -r;
    if ((Unit.LiveRecord.CoinFlags & (CoinStopped | CoinPayoutBit)) != 0)
      coinDone = true;
    if ((Unit.LiveRecord.BillFlags & (BillStopped | BillPayoutBit)) != 0)
      billDone = true;
    if (coinDone && billDone) return 0;
    OsSleep(kPauseMs);
  }
  if (!coinDone && !billDone) return -4;
  return coinDone ? -3 : -2;
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

int64_t CoinNet() {
  const TavoData &l = Unit.LiveRecord;
  return 10 * (l.CoinIn[0] - l.CoinOut[0]) + 50 * (l.CoinIn[1] - l.CoinOut[1]) +
         100 * (l.CoinIn[2] - l.CoinOut[2]) +
         500 * (l.CoinIn[3] - l.CoinOut[3]);
}

int64_t NoteNet() {
  return 1000 * (Unit.LiveRecord.BillEscrow - Unit.LiveRecord.BillOut);
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
    if (SendCounter(CounterNotes, 0) != 0) return Code(fn, 0x72);
  }
  int order[2] = {RefreshBillFailed, RefreshCoinFailed};
  if (CoinNet() > NoteNet()) std::swap(order[0], order[1]);
  for (int unit : order) {
    bool coin = unit == RefreshCoinFailed;
    if (!(coin ? CoinFitted() : BillFitted()) || (Unit.ClosedUnits & unit) != 0)
      continue;
    uint8_t &pending = coin ? Unit.CoinPending : Unit.BillPending;
    if ((pending & PendingSettle) == 0) {
      if ((coin ? CoinCtrl(CoinSettle) : BillCtrl(BillSettle)) != 0)
        return Code(fn, coin ? 0x66 : 0x67);
      pending |= PendingSettle;
      MirrorPendingInFlags();
    }
    if (!AwaitSettleReport(unit))
      return RefuseWhilePending(fn, coin ? 0x56 : 0x57);
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
      return Code(fn, 0x72);
    }
    SyncNotesFromBoard();
    if (Unit.PcbRecord.Meters[4] != 0) {
      SendCounter(CounterNotes, 0);  // read back by the next call
      return Code(fn, 0x72);
    }
  }
  // The meter is not taken as cleared until the board reports it so: a
  // board poll reports only what changed, and a reset the board did not
  // make must still show to the next trade's begin.
  if (SendCounter(CounterAmount, 0) != 0) return Code(fn, 0x72);
  SyncNotesFromBoard();
  Unit.ClosedUnits = 0;
  Unit.TradeClosing = false;
  Unit.RefusedWhilePending = 0;
  ComputeCredit();
  return TAVO_OK;
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_TradeBegin(uint32_t handle) {
  constexpr uint8_t fn = TAVO_FN_TRADEBEGIN;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (Unit.PcbRecord.TradeId != 0)
      return Code(fn, 0x03);  // one trade at a time
    if (int r = ReloadStatus()) return RefreshCode(fn, TAVO_REASON_REFRESH, r);
    // A note on its way in does not hold the trade back: the note follow-up
    // of the trade finishes taking it in.
    constexpr uint8_t kTakingIn = PendingRecheck | PendingCount;
    if (uint16_t code = PendingRefusal(fn, Unit.ResumingTrade ? kTakingIn : 0))
      return code;
    if (Unit.ResumingTrade && Unit.TradeClosing) {
      // The open found a trade whose close had begun: all its money was
      // charged or paid; the close is finished and a new trade begins.
      if (uint16_t code = CloseTradeCounts(fn)) return code;
      Unit.ResumingTrade = false;
    }
    if (Unit.ResumingTrade) {
      // The trade that the open found unfinished goes on: its notes taken
      // in are on counter 0, its charges on the charged-amount meter, and
      // both stay, so the credit is what the customer is still owed.
      SyncNotesFromBoard();
      ComputeCredit();
    } else {
      // Counter 0 and the charged amount start the trade from zero.
      if (SendCounter(CounterNotes, 0) != 0) return Code(fn, 0x72);
      if (SendCounter(CounterAmount, 0) != 0) return Code(fn, 0x72);
    }
    Unit.PcbRecord.AcceptLimit = 0;
    if (uint16_t code = ApplyAcceptLimit()) return code;
    // The refresh has read the board: a fresh trade starts only from meters
    // the board shows cleared (one that acknowledged a reset it did not
    // make would take the last trade's charge out of this one's money).
    if (!Unit.ResumingTrade &&
        (Unit.PcbRecord.Meters[4] != 0 || Unit.PcbRecord.Meters[8] != 0))
      return Code(fn, 0x72);
    // Trade numbers run from 1; 0 means "no trade" and is skipped on wrap.
    if (++Unit.TradeCounter == 0) ++Unit.TradeCounter;
    Unit.PcbRecord.TradeId = Unit.TradeCounter;
    Unit.ResumingTrade = false;
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_TradeEnd(uint32_t handle) {
  constexpr uint8_t fn = TAVO_FN_TRADEEND;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (Unit.PcbRecord.TradeId == 0) return Code(fn, TAVO_REASON_NO_TRADE);
    if (int r = RefreshStatus()) return RefreshCode(fn, TAVO_REASON_REFRESH, r);
    if (Unit.TradeClosing) {
      // An earlier call began the close: it goes on where it stopped.
      if (uint16_t code = CloseTradeCounts(fn)) return code;
      Unit.PcbRecord.TradeId = 0;
      return TAVO_OK;
    }
    if (uint16_t code = PendingRefusal(fn)) return code;
    Unit.PcbRecord.AcceptLimit = 0;
    if (int r = SetAcceptance(AcceptForceOff))
      return Code(fn, r == -1 ? 0x62 : 0x64);
    if (int r = WaitUnitsIdle())
      return Code(fn, static_cast<uint8_t>(0x50 - r));
    if (int r = RefreshStatus()) return RefreshCode(fn, 0x40, r);
    // Money still belongs to the customer: charge it or pay it back first.
    if (Unit.PcbRecord.Credit != 0) return Code(fn, 0x71);
    // The trade's money is now all charged or paid. From here the credit
    // stays at 0 until the trade is closed, and the money exports wait.
    Unit.TradeClosing = true;
    ComputeCredit();
    if (uint16_t code = CloseTradeCounts(fn)) return code;
    Unit.PcbRecord.TradeId = 0;
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_AcceptEx(uint32_t handle,
                                                     uint32_t limit,
                                                     uint32_t notes) {
  constexpr uint8_t fn = TAVO_FN_ACCEPTEX;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (uint16_t code = ReadyForMoney(fn)) return code;
    Unit.NoteLimit = static_cast<uint8_t>(notes & 7);
    Unit.PcbRecord.AcceptLimit = static_cast<uint16_t>(limit);
    return ApplyAcceptLimit();
  });
}

// No frame of its own: the busy guard and the codes are TAVO_AcceptEx's.
extern "C" TAVO_API uint32_t TAVO_CALL TAVO_Accept(uint32_t handle,
                                                   uint32_t limit) {
  return TAVO_AcceptEx(handle, limit, 3);
}
