// Switching the money units' acceptance, and waiting for them to stop.
#include "commands/commands.h"
#include "os/os.h"
#include "state/state.h"
#include "trade/trade.h"

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

uint16_t AcceptanceRefused(int failed, bool on) {
  bool coin = failed == -1;
  uint8_t reason =
      on ? (coin ? Reason::CoinEnableRefused : Reason::NoteEnableRefused)
         : (coin ? Reason::CoinInhibitRefused : Reason::NoteInhibitRefused);
  return Code(TAVO_FN_ACCEPTEX, reason);
}

// Acceptance is on while the credit is below the limit, off from the moment
// it reaches it. Its codes carry 0x12 and 0x13 whichever export runs it. The
// comparison is with the credit itself, not the value the 16-bit record
// holds it at.
uint16_t ApplyAcceptLimit() {
  if (Unit.PcbRecord.AcceptLimit > Unit.TrueCredit) {
    if (int r = SetAcceptance(AcceptOn)) return AcceptanceRefused(r, true);
  } else {
    if (int r = SetAcceptance(AcceptOff)) return AcceptanceRefused(r, false);
  }
  if (int r = RefreshStatus())
    return RefreshCode(TAVO_FN_CHARGE, Reason::SecondRefreshFailed, r);
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
