// Beginning and ending a trade, and the limit of money it accepts.
#include "api/frame.h"
#include "commands/commands.h"
#include "state/state.h"
#include "trade/trade.h"

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_TradeBegin(uint32_t handle) {
  constexpr uint8_t fn = TAVO_FN_TRADEBEGIN;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (Unit.PcbRecord.TradeId != 0) return Code(fn, Reason::TradeAlreadyOpen);
    if (int r = ReloadStatus())
      return RefreshCode(fn, Reason::RefreshFailed, r);
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
      if (SendCounter(CounterNotes, 0) != 0)
        return Code(fn, Reason::CounterResetRefused);
      if (SendCounter(CounterAmount, 0) != 0)
        return Code(fn, Reason::CounterResetRefused);
    }
    Unit.PcbRecord.AcceptLimit = 0;
    if (uint16_t code = ApplyAcceptLimit()) return code;
    // The refresh has read the board: a fresh trade starts only from meters
    // the board shows cleared (one that acknowledged a reset it did not
    // make would take the last trade's charge out of this one's money).
    if (!Unit.ResumingTrade &&
        (Unit.PcbRecord.Meters[4] != 0 || Unit.PcbRecord.Meters[8] != 0))
      return Code(fn, Reason::CounterResetRefused);
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
    if (Unit.PcbRecord.TradeId == 0) return Code(fn, Reason::NoTrade);
    if (int r = RefreshStatus())
      return RefreshCode(fn, Reason::RefreshFailed, r);
    if (Unit.TradeClosing) {
      // An earlier call began the close: it goes on where it stopped.
      if (uint16_t code = CloseTradeCounts(fn)) return code;
      Unit.PcbRecord.TradeId = 0;
      return TAVO_OK;
    }
    if (uint16_t code = PendingRefusal(fn)) return code;
    Unit.PcbRecord.AcceptLimit = 0;
    if (int r = SetAcceptance(AcceptForceOff))
      return Code(fn, r == -1 ? Reason::CoinInhibitRefused
                              : Reason::NoteInhibitRefused);
    if (int r = WaitUnitsIdle())
      return Code(fn, static_cast<uint8_t>(Reason::IdleWait - r));
    if (int r = RefreshStatus())
      return RefreshCode(fn, Reason::SecondRefreshFailed, r);
    // Money still belongs to the customer: charge it or pay it back first.
    if (Unit.PcbRecord.Credit != 0) return Code(fn, Reason::CreditLeft);
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
