// The status queries, and the note follow-up that keeps a trade going while
// the application polls.
#include <cstring>

#include "api/api.h"
#include "commands/commands.h"
#include "os/os.h"
#include "state/state.h"

namespace {

bool TradeOpen() { return PcbRecord.TradeId != 0; }

// The settle that takes a held note in went out without an acknowledgement:
// the unit may have stacked the note or may still hold it. The note stock
// as it stood tells a stacked note from one the customer took back.
bool noteSettleUnconfirmed = false;
uint8_t noteStockMark = 0;

bool NoteHeld() {
  return LiveRecord.BillEscrow == 1 && (LiveRecord.BillFlags & BillHeld) != 0;
}

// Sends the settle that moves the held note out of the escrow.
uint16_t SettleHeldNote() {
  noteStockMark = LiveRecord.BillStock;
  if (BillCtrl(BillSettle) != 0) {
    noteSettleUnconfirmed = true;
    return Code(TAVO_FN_NOTEFOLLOWUP, 0x65);
  }
  noteSettleUnconfirmed = false;
  BillPending |= PendingSettle;
  return TAVO_OK;
}

// Takes a held note in when the trade still has room for it: acceptance of
// notes stopped, the unit waited for until it reports stopped, then told to
// settle, which moves the note out of its escrow.
uint16_t TakeHeldNoteIn() {
  const TavoData &live = LiveRecord;
  int reserve = static_cast<int>(live.CoinStock[3]) -
                static_cast<int>(live.CoinIn[3]) -
                2 * static_cast<int>(live.BillStacked);
  // A settle also closes the note unit's out-count: while notes paid out in
  // this trade are counted there, a note stays held (it is still credit)
  // rather than have the payout vanish from the credit.
  bool room = NoteHeld() && live.BillOut == 0 &&
              live.BillStacked + 1 < (NoteLimit & 7) &&
              PcbRecord.AcceptLimit > PcbRecord.Credit &&
              reserve >= 2;  // 500-coins kept back for change
  if (!room) return TAVO_OK;

  constexpr uint8_t fn = TAVO_FN_NOTEFOLLOWUP;
  if (BillCtrl(BillInhibit) != 0) return Code(fn, 0x64);
  bool stopped = false;
  for (int attempt = 0; attempt < kIdleTries && !stopped; ++attempt) {
    if (RefreshStatus() != 0) return Code(fn, 0x51);
    stopped = (LiveRecord.BillFlags & (BillStopped | BillPayoutBit)) != 0;
    if (!stopped) OsSleep(kPauseMs);
  }
  if (!stopped) return Code(fn, 0x53);
  // The customer may have taken the note back, or the unit given it back,
  // while it stopped: only a note still held is taken in and counted.
  if (!NoteHeld()) return ApplyAcceptLimit();
  BillPending |= PendingRecheck | PendingCount;
  return SettleHeldNote();
}

// Finishes taking a note in. Two events must both have happened: the note
// has left the escrow (it is counted, on the board's counter 0 and in
// BillStacked) and the unit has acknowledged the settle. Whichever comes
// last re-applies the acceptance limit, once per note.
uint16_t FinishNoteIn() {
  constexpr uint8_t fn = TAVO_FN_NOTEFOLLOWUP;
  if (noteSettleUnconfirmed && (BillPending & PendingCount) != 0) {
    if (NoteHeld()) return SettleHeldNote();  // the unit never acted on it
    if (LiveRecord.BillEscrow != 0) return TAVO_OK;
    noteSettleUnconfirmed = false;
    // The escrow is empty. A note stacked has raised the stock (or gone to
    // the cash box of a full stock); a note the customer took back has not.
    if (LiveRecord.BillStock == noteStockMark && noteStockMark < 99) {
      BillPending &= static_cast<uint8_t>(~(PendingCount | PendingRecheck));
      return ApplyAcceptLimit();
    }
  }
  if ((BillPending & PendingCount) != 0 && LiveRecord.BillEscrow == 0) {
    // On a failed send the note stays uncounted; the next call repeats it.
    if (SendCounter(CounterNotes, 1) != 0) return Code(fn, 0x78);
    LiveRecord.BillStacked = static_cast<uint8_t>(LiveRecord.BillStacked + 1);
    BillPending &= static_cast<uint8_t>(~PendingCount);
    if ((BillPending & PendingRecheck) == 0) {
      if (uint16_t code = ApplyAcceptLimit()) return code;
    }
  }
  if ((BillPending & PendingRecheck) != 0 &&
      (BillPending & PendingSettle) == 0) {
    BillPending &= static_cast<uint8_t>(~PendingRecheck);
    if ((BillPending & PendingCount) == 0) {
      if (uint16_t code = ApplyAcceptLimit()) return code;
    }
  }
  return TAVO_OK;
}

}  // namespace

void ForgetNoteSettleDoubt() { noteSettleUnconfirmed = false; }

// One step per call: the note follow-up only runs while both unit-id bytes
// of the note unit are set and no coin command is pending.
uint16_t FollowNoteEscrow() {
  if (LiveRecord.BillUnitId[0] == 0 || LiveRecord.BillUnitId[1] == 0)
    return TAVO_OK;
  if (CoinPending != 0) return TAVO_OK;
  if (BillPending == 0) return TakeHeldNoteIn();
  return FinishNoteIn();
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_GetPCBData(uint32_t handle,
                                                       PcbData *buffer) {
  constexpr uint8_t fn = TAVO_FN_GETPCBDATA;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (buffer == nullptr) return Code(fn, TAVO_REASON_BAD_ARGUMENT);
    if (int r = RefreshStatus()) return RefreshCode(fn, TAVO_REASON_REFRESH, r);
    if (TradeOpen()) {
      if (uint16_t code = ApplyAcceptLimit()) return code;
    }
    std::memcpy(buffer, &PcbRecord, sizeof PcbRecord);
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_GetTAVOData(uint32_t handle,
                                                        TavoData *buffer) {
  constexpr uint8_t fn = TAVO_FN_GETTAVODATA;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (buffer == nullptr) return Code(fn, TAVO_REASON_BAD_ARGUMENT);
    if (int r = RefreshStatus()) return RefreshCode(fn, TAVO_REASON_REFRESH, r);
    if (TradeOpen()) {
      // A payout sent without an acknowledgement is settled here too, so
      // that an application polling for the pending bits to clear sees
      // them clear whichever way it went.
      if ((CoinPending | BillPending) & PendingUnconfirmed)
        ResolveUnconfirmedPayouts();
      if (uint16_t code = ApplyAcceptLimit()) return code;
      if (uint16_t code = FollowNoteEscrow()) return code;
    }
    // The top bytes of the flags words mirror the pending commands as they
    // stand now, also after the follow-up has changed them: an application
    // polls until they read 0, and the units report nothing new to renew
    // them while they stand idle.
    MirrorPendingInFlags();
    std::memcpy(buffer, &LiveRecord, sizeof LiveRecord);
    // The application has now seen the latched coin bit.
    LiveRecord.CoinFlags &= ~CoinLatched;
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_GetBackupData(uint32_t handle,
                                                          TavoData *buffer) {
  constexpr uint8_t fn = TAVO_FN_GETBACKUPDATA;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (buffer == nullptr) return Code(fn, TAVO_REASON_BAD_ARGUMENT);
    std::memcpy(buffer, &BackupRecord, sizeof BackupRecord);
    return TAVO_OK;
  });
}
