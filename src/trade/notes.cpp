// Taking a held note in: marked on the board's counter 0 first, then settled
// out of the escrow, then its count completed. Run step by step by the note
// follow-up while the application polls, and all at once before an export
// relies on the note's money.
#include "commands/commands.h"
#include "os/os.h"
#include "state/state.h"
#include "trade/trade.h"

namespace {

bool NoteHeld() {
  return Unit.LiveRecord.BillEscrow == 1 &&
         (Unit.LiveRecord.BillFlags & BillHeld) != 0;
}

// Sends the settle that moves the held note out of the escrow.
uint16_t SettleHeldNote() {
  if (BillCtrl(BillSettle) != 0)
    return Code(TAVO_FN_NOTEFOLLOWUP, Reason::HeldNoteSettleRefused);
  Unit.BillPending |= PendingSettle;
  MirrorPendingInFlags();
  return TAVO_OK;
}

// Adds `step` to counter 0 and reads the board back: true once the board's
// count shows it. A board can acknowledge a count it has not made; only its
// own count tells, and a mark that is not there is not relied on.
bool AddToCounterZero(uint32_t step) {
  uint32_t expected = Unit.PcbRecord.Meters[4] + step;
  SendCounter(CounterNotes, static_cast<uint8_t>(step));
  if (PollBoard() != 0) {
    DoubtDevice(RefreshBoardFailed);
    return false;
  }
  SyncNotesFromBoard();
  ComputeCredit();
  return Unit.PcbRecord.Meters[4] == expected;
}

// Counts the held note's first step on the board, then has the unit settle
// it. The first step goes first: from then on the note is on the board's
// count whatever happens to this process or the unit's power, and the
// escrow tells whether it is still held. A mark the board does not show is
// judged again at the next call.
uint16_t MarkAndSettle() {
  constexpr uint8_t fn = TAVO_FN_NOTEFOLLOWUP;
  // A count left by a library that counted one note as 1 is first brought
  // to this one's 16 per note, in one frame.
  uint32_t m = Unit.PcbRecord.Meters[4];
  if (NotesCounted(m) == m && m != 0 && m * (kNoteCount - 1) <= 0xFF) {
    if (!AddToCounterZero(m * (kNoteCount - 1)))
      return Code(fn, Reason::NoteCountRefused);
  }
  uint32_t step = MarkStep(Unit.PcbRecord.Meters[4]);
  // Two marks in a row found void: the note stays held, as credit, until
  // the trade ends.
  if (step == 0) return TAVO_OK;
  Unit.NoteStockMark = Unit.LiveRecord.BillStock;
  Unit.NoteStockMarkKnown = true;
  if (!AddToCounterZero(step)) return Code(fn, Reason::NoteCountRefused);
  return SettleHeldNote();
}

// Notes stopped, the unit waited for until it reports stopped; then, if the
// note is still held (the customer may have taken it back, or the unit given
// it back, while it stopped), its take-in begins.
uint16_t StopAndMark() {
  constexpr uint8_t fn = TAVO_FN_NOTEFOLLOWUP;
  if (BillCtrl(BillInhibit) != 0) return Code(fn, Reason::NoteInhibitRefused);
  bool stopped = false;
  for (int attempt = 0; attempt < kIdleTries && !stopped; ++attempt) {
    if (RefreshStatus() != 0) return Code(fn, Reason::NoteStopWaitFailed);
    stopped = (Unit.LiveRecord.BillFlags & (BillStopped | BillPayoutBit)) != 0;
    if (!stopped) OsSleep(kPauseMs);
  }
  if (!stopped) return Code(fn, Reason::NoteNotStopped);
  if (!NoteHeld()) return TAVO_OK;
  return MarkAndSettle();
}

// The second half of a take-in, for a note marked on its way. While the
// note is still held, the settle has not acted on it: it is sent (again)
// unless one is acknowledged and awaited. Once the escrow is empty the note
// was stacked, or taken back by the customer before the settle reached the
// unit; a stacked note raises the stock (or goes to the cash box of a full
// stock), a note taken back does not, and its mark is void.
uint16_t FinishNoteIn(bool *done) {
  constexpr uint8_t fn = TAVO_FN_NOTEFOLLOWUP;
  *done = false;
  if (NoteHeld()) {
    Unit.NoteStockMark = Unit.LiveRecord.BillStock;
    Unit.NoteStockMarkKnown = true;
    if ((Unit.BillPending & PendingSettle) != 0) return TAVO_OK;
    return SettleHeldNote();
  }
  if (Unit.LiveRecord.BillEscrow != 0) return TAVO_OK;
  // Either step is read back from the board (by the refresh that follows)
  // before anything relies on it: notes are switched on again only once the
  // board shows no note on its way, for a note that came in under a mark
  // standing on the board would be taken for the marked one. A step the
  // board does not show is made again by the next call, from the count the
  // board shows.
  uint32_t m = Unit.PcbRecord.Meters[4];
  bool takenBack = Unit.NoteStockMarkKnown &&
                   Unit.LiveRecord.BillStock == Unit.NoteStockMark &&
                   Unit.NoteStockMark < 99;
  uint32_t step = takenBack ? VoidStep(m) : CompleteStep(m);
  if (SendCounter(CounterNotes, static_cast<uint8_t>(step)) != 0)
    return Code(fn, Reason::NoteCountRefused);
  SyncNotesFromBoard();
  ComputeCredit();
  *done = true;
  return TAVO_OK;
}

// Takes a held note in when the trade still has room for it.
uint16_t TakeHeldNoteIn() {
  const TavoData &live = Unit.LiveRecord;
  int reserve = static_cast<int>(live.CoinStock[3]) -
                static_cast<int>(live.CoinIn[3]) -
                2 * static_cast<int>(live.BillStacked);
  // A settle also closes the note unit's out-count: while notes paid out in
  // this trade are counted there, a note stays held (it is still credit)
  // rather than have the payout vanish from the credit.
  bool room = NoteHeld() && live.BillOut == 0 &&
              MarkStep(Unit.PcbRecord.Meters[4]) != 0 &&
              live.BillStacked + 1 < (Unit.NoteLimit & 7) &&
              Unit.PcbRecord.AcceptLimit > Unit.PcbRecord.Credit &&
              reserve >= 2;  // 500-coins kept back for change
  if (!room) return TAVO_OK;
  if (uint16_t code = StopAndMark()) return code;
  if (!NoteMarked()) return ApplyAcceptLimit();  // the note went back
  return TAVO_OK;
}

}  // namespace

bool NoteWaiting() { return Unit.LiveRecord.BillEscrow != 0 || NoteMarked(); }

uint16_t TakeNotesInFirst(uint8_t fn) {
  for (int attempt = 0; attempt < kIdleTries; ++attempt) {
    if (!NoteWaiting() || !BillFitted()) return TAVO_OK;
    // An escrow that holds several notes is settled only by the trade's
    // close: the count on the board marks one note at a time.
    if (Unit.LiveRecord.BillEscrow > 1 && !NoteMarked()) return TAVO_OK;
    if (attempt > 0) {
      OsSleep(kPauseMs);
      if (int r = RefreshStatus())
        return RefreshCode(fn, Reason::RefreshFailed, r);
      if (!NoteWaiting()) return TAVO_OK;
    }
    uint16_t code = TAVO_OK;
    if (NoteMarked()) {
      bool done = false;
      code = FinishNoteIn(&done);
    } else if (NoteHeld()) {
      // A settle closes the note unit's out-count too: with notes paid out
      // in this trade still counted there, the note cannot be taken in; nor
      // once two marks in a row were found void.
      if (Unit.LiveRecord.BillOut != 0 ||
          MarkStep(Unit.PcbRecord.Meters[4]) == 0)
        return Code(fn, Reason::HeldNoteStuck);
      code = StopAndMark();
    }
    if (code != TAVO_OK) return code;
  }
  return NoteWaiting() ? Code(fn, Reason::Pending) : TAVO_OK;
}

// One step per call: the note follow-up only runs while both unit-id bytes
// of the note unit are set and no coin command is pending.
uint16_t FollowNoteEscrow() {
  if (Unit.LiveRecord.BillUnitId[0] == 0 || Unit.LiveRecord.BillUnitId[1] == 0)
    return TAVO_OK;
  if (Unit.CoinPending != 0) return TAVO_OK;
  if (NoteMarked()) {
    bool done = false;
    if (uint16_t code = FinishNoteIn(&done)) return code;
    if (!done) return TAVO_OK;
    // The limit's refresh reads the count back; once it shows the note
    // counted, notes may come again.
    if (uint16_t code = ApplyAcceptLimit()) return code;
    if (!NoteMarked()) {
      int r = SetAcceptance(
          Unit.PcbRecord.AcceptLimit > Unit.TrueCredit ? AcceptOn : AcceptOff);
      if (r != 0) return AcceptanceRefused(r, true);
    }
    return TAVO_OK;
  }
  if (Unit.BillPending == 0) return TakeHeldNoteIn();
  return TAVO_OK;
}
