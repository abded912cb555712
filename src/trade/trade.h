// The trade's shared steps, below the exports that use them: switching
// acceptance and waiting for the units, closing a trade's counts, taking a
// held note in, paying out, and the guards the money exports pass first.
#ifndef TAVOCTL_TRADE_TRADE_H
#define TAVOCTL_TRADE_TRADE_H

#include <cstdint>

#include "codes/codes.h"
#include "tavoctl.h"

// Sends the settle command to each fitted unit, the note unit first.
// 0; -1 the coin settle failed; -2 the note settle failed.
int SettleUnits();

// Closes the trade's counts once its money is all charged or paid
// (Unit.TradeClosing set): counter 0 cleared, each fitted unit settled and its
// own report of the settle awaited, the unit whose counts hold the trade's
// money first, and the charged-amount meter cleared last. Resumes where an
// earlier call stopped. Its codes carry `fn`: 0x72 a counter reset refused,
// 0x66/0x67 the coin/note settle not acknowledged, 0x56/0x57 the coin/note
// unit did not report its settle done, 0x06 that has gone on too long.
uint16_t CloseTradeCounts(uint8_t fn);

// Acceptance control and waiting (trades).
constexpr uint8_t AcceptOff = 0;
constexpr uint8_t AcceptOn = 1;
constexpr uint8_t AcceptForceOff = 0xFF;
int SetAcceptance(uint8_t mode);
// A switch refused by a unit (SetAcceptance's -1 coin, -2 note, switching
// on or off) as the acceptance control's code, which carries TAVO_AcceptEx's
// function number whichever export runs it.
uint16_t AcceptanceRefused(int failed, bool on);
uint16_t ApplyAcceptLimit();
int WaitUnitsIdle();
constexpr int kIdleTries = 10;
constexpr uint32_t kPauseMs = 100;

// The note follow-up run by TAVO_GetTAVOData during a trade.
uint16_t FollowNoteEscrow();
// Whether a note is held in the escrow or on its way into the stack.
bool NoteWaiting();
// Takes every held note in before an export relies on it: a held note can
// still go back to the customer (the escrow's time-out, the return button),
// so money that only a held note stands for is not charged or paid. 0 when
// no note waits any more; else a note follow-up code (0x08xx) or a code of
// `fn`: 0x3n a refresh failed, 0x04 the note is still on its way, 0x79 the
// note cannot be taken in while notes paid out in the trade are counted.
uint16_t TakeNotesInFirst(uint8_t fn);

// True while a command to either unit is unacknowledged.
bool AnyPending();
// True while either unit reports a payout.
bool UnitPaying();
// What the money exports check before they act: a trade is open (reason
// 0x03), the status refreshes (0x30 + n), no command is pending (0x04) and
// no unit reports a payout (0x05). 0 when all hold.
uint16_t ReadyForMoney(uint8_t function);
// The pending check alone, after a refresh: unconfirmed payouts are
// resolved first; then reason 0x04, or 0x06 once the trade and money
// exports have been refused that many times in a row for a command that
// never completes (the unit must be reopened).
uint16_t PendingRefusal(uint8_t function, uint8_t ignored = 0);
constexpr uint32_t kPendingRefusalsBeforeReopen = 20;
// Returns the units (RefreshCoinFailed, RefreshBillFailed bits) whose
// unconfirmed payout it found never started.
int ResolveUnconfirmedPayouts();
// Counts one more refusal for work that a unit has not reported done:
// `reason`, or 0x06 once that has gone on too long.
uint16_t RefuseWhilePending(uint8_t function, uint8_t reason);

// Change and payout.
// Notes of 1000 to pay for `value`: as many as the value and the stock
// allow, at most kMaxNotesPerPayout; none from a note unit not fitted.
uint32_t NotesFor(uint32_t value);
constexpr uint32_t kMaxNotesPerPayout = 9;  // TAVOCTL_CHANGE_MAX_NOTES
bool ChangePayable(uint32_t value);
// 0 when every part was started (or had nothing to pay); otherwise one of
// these. A failed part was certainly not started; an unconfirmed one went
// out without a readable answer and is pending and unconfirmed.
constexpr int PayoutCoinFailed = -1;
constexpr int PayoutNoteFailed = -2;
constexpr int PayoutCoinUnconfirmed = -3;
constexpr int PayoutNoteUnconfirmed = -4;
int StartPayout(uint16_t notes, uint16_t coins);
int StartCoinPayout(uint16_t coins);

#endif  // TAVOCTL_TRADE_TRADE_H
