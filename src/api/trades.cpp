// Trades and the control of money acceptance.
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
// seen it empty, and the first note would never be counted.
int SetAcceptance(uint8_t mode) {
  if (BillFitted()) {
    bool on = (LiveRecord.BillFlags & BillAccepting) != 0;
    int sent = 0;
    if (mode == AcceptForceOff) {
      sent = BillCtrl(BillInhibit);
    } else if (mode == AcceptOff || NoteLimit == 0) {
      if (on) sent = BillCtrl(BillInhibit);
    } else if (!on && BillPending == 0) {
      sent = BillCtrl(BillEnable);
    }
    if (sent != 0) return -2;
  }
  if (CoinFitted()) {
    bool on = (LiveRecord.CoinFlags & CoinAccepting) != 0;
    int sent = 0;
    if (mode == AcceptForceOff) {
      sent = CoinCtrl(CoinInhibit);
    } else if (mode == AcceptOff) {
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
  if (PcbRecord.AcceptLimit > TrueCredit) {
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
    if ((LiveRecord.CoinFlags & (CoinStopped | CoinPayoutBit)) != 0)
      coinDone = true;
    if ((LiveRecord.BillFlags & (BillStopped | BillPayoutBit)) != 0)
      billDone = true;
    if (coinDone && billDone) return 0;
    OsSleep(kPauseMs);
  }
  if (!coinDone && !billDone) return -4;
  return coinDone ? -3 : -2;
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_TradeBegin(uint32_t handle) {
  constexpr uint8_t fn = TAVO_FN_TRADEBEGIN;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (PcbRecord.TradeId != 0) return Code(fn, 0x03);  // one trade at a time
    if (int r = ReloadStatus()) return RefreshCode(fn, TAVO_REASON_REFRESH, r);
    if (uint16_t code = PendingRefusal(fn)) return code;
    if (ResumingTrade) {
      // The trade that the open found unfinished goes on: its notes taken
      // in are on counter 0, its charges on the charged-amount meter, and
      // both stay, so the credit is what the customer is still owed.
      LiveRecord.BillStacked = static_cast<uint8_t>(
          PcbRecord.Meters[4] > 0xFF ? 0xFF : PcbRecord.Meters[4]);
      ComputeCredit();
    } else {
      // Counter 0 and the charged amount start the trade from zero.
      if (SendCounter(CounterNotes, 0) != 0) return Code(fn, 0x72);
      if (SendCounter(CounterAmount, 0) != 0) return Code(fn, 0x72);
    }
    PcbRecord.AcceptLimit = 0;
    if (uint16_t code = ApplyAcceptLimit()) return code;
    // Trade numbers run from 1; 0 means "no trade" and is skipped on wrap.
    if (++TradeCounter == 0) ++TradeCounter;
    PcbRecord.TradeId = TradeCounter;
    ResumingTrade = false;
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_TradeEnd(uint32_t handle) {
  constexpr uint8_t fn = TAVO_FN_TRADEEND;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (PcbRecord.TradeId == 0) return Code(fn, TAVO_REASON_NO_TRADE);
    if (int r = RefreshStatus()) return RefreshCode(fn, TAVO_REASON_REFRESH, r);
    if (uint16_t code = PendingRefusal(fn)) return code;
    PcbRecord.AcceptLimit = 0;
    if (int r = SetAcceptance(AcceptForceOff))
      return Code(fn, r == -1 ? 0x62 : 0x64);
    if (int r = WaitUnitsIdle())
      return Code(fn, static_cast<uint8_t>(0x50 - r));
    if (int r = RefreshStatus()) return RefreshCode(fn, 0x40, r);
    // Money still belongs to the customer: charge it or pay it back first.
    if (PcbRecord.Credit != 0) return Code(fn, 0x71);
    // The trade's money is now all charged or paid. From here the credit
    // stays at 0 until the trade is closed: each unit's settle closes its
    // own counts, so while one has settled and the other not, the counts no
    // longer add up to the trade's money.
    //
    // The charged-amount meter is cleared last. It is what keeps the money
    // charged in this trade out of the credit while the units' counts still
    // hold it: cleared before a settle that then fails, the charge would
    // come back as credit, and a payback would pay for goods already sold.
    // The notes counted on counter 0 go first instead: clearing them can
    // only lower the credit, and a trade carried over a reopen (which counts
    // them back as notes taken in) must not count notes a settle has
    // already closed.
    TradeClosing = true;
    LiveRecord.BillStacked = 0;
    ComputeCredit();
    if (SendCounter(CounterNotes, 0) != 0) return Code(fn, 0x72);
    if (int r = SettleUnits()) return Code(fn, static_cast<uint8_t>(0x65 - r));
    if (SendCounter(CounterAmount, 0) != 0) return Code(fn, 0x72);
    PcbRecord.TradeId = 0;
    TradeClosing = false;
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_AcceptEx(uint32_t handle,
                                                     uint32_t limit,
                                                     uint32_t notes) {
  constexpr uint8_t fn = TAVO_FN_ACCEPTEX;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (uint16_t code = ReadyForMoney(fn)) return code;
    NoteLimit = static_cast<uint8_t>(notes & 7);
    PcbRecord.AcceptLimit = static_cast<uint16_t>(limit);
    return ApplyAcceptLimit();
  });
}

// No frame of its own: the busy guard and the codes are TAVO_AcceptEx's.
extern "C" TAVO_API uint32_t TAVO_CALL TAVO_Accept(uint32_t handle,
                                                   uint32_t limit) {
  return TAVO_AcceptEx(handle, limit, 3);
}
