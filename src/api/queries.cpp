// The status queries, and the note follow-up that keeps a trade going while
// the application polls.
#include <cstring>

#include "api/api.h"
#include "commands/commands.h"
#include "os/os.h"
#include "state/state.h"

namespace {

bool TradeOpen() { return PcbRecord.TradeId != 0; }

// Takes a held note in when the trade still has room for it: acceptance of
// notes stopped, the unit waited for until it reports stopped, then told to
// settle, which moves the note out of its escrow.
uint16_t TakeHeldNoteIn() {
  const TavoData &live = LiveRecord;
  int reserve = static_cast<int>(live.CoinStock[3]) -
                static_cast<int>(live.CoinIn[3]) -
                2 * static_cast<int>(live.BillStacked);
  bool room = live.BillEscrow == 1 && (live.BillFlags & BillHeld) != 0 &&
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
  BillPending |= PendingRecheck | PendingCount;
  if (BillCtrl(BillSettle) != 0) return Code(fn, 0x65);
  BillPending |= PendingSettle;
  return TAVO_OK;
}

// Finishes taking a note in. Two events must both have happened: the note
// has left the escrow (it is counted, on the board's counter 0 and in
// BillStacked) and the unit has acknowledged the settle. Whichever comes
// last re-applies the acceptance limit, once per note.
uint16_t FinishNoteIn() {
  constexpr uint8_t fn = TAVO_FN_NOTEFOLLOWUP;
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
      if (uint16_t code = ApplyAcceptLimit()) return code;
      if (uint16_t code = FollowNoteEscrow()) return code;
    }
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
