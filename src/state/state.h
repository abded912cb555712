// The library's mirror of the unit: the board record, the live and backup
// money-unit records, the pending bytes, the item decoders and the status
// refresh with the credit computation.
#ifndef TAVOCTL_STATE_STATE_H
#define TAVOCTL_STATE_STATE_H

#include <cstdint>

#include "tavoctl.h"
#include "unit/unit.h"

// Commands sent to a unit whose completion it reports later; the top byte of
// the unit's flags word mirrors them.
constexpr uint8_t PendingSettle = 0x01;
constexpr uint8_t PendingPayout = 0x02;
constexpr uint8_t PendingRecheck = 0x04;  // note unit only
constexpr uint8_t PendingCount = 0x08;    // note unit only
// With PendingPayout: the payout command went out but its acknowledgement
// was lost, so the unit may or may not be paying.
constexpr uint8_t PendingUnconfirmed = 0x10;

// Takes the marks of a unit (Unit.CoinPayoutMark, Unit.BillPayoutMark)
// before its payout command is sent: a unit that has paid anything has
// moved them.
void MarkCoinPayout();
void MarkBillPayout();
// Whether a unit's counts have moved since its mark.
bool CoinMovedSinceMark();
bool BillMovedSinceMark();

// Status bits of the low byte of the flags words.
constexpr uint32_t CoinAccepting = 0x01;
constexpr uint32_t CoinStopped = 0x04;
constexpr uint32_t CoinLatched = 0x08;
constexpr uint32_t CoinPayoutBit = 0x10;
constexpr uint32_t CoinSettled = 0x20;
constexpr uint32_t BillAccepting = 0x01;
constexpr uint32_t BillStopped = 0x04;
constexpr uint32_t BillPayoutBit = 0x08;
constexpr uint32_t BillSettled = 0x10;
constexpr uint32_t BillHeld = 0x20;
// Stopped: the unit is neither taking money in nor paying out.
bool CoinIdle();
bool BillIdle();

uint8_t FromBcd(uint8_t value);

void DecodeBoardItems(PcbData *record, uint32_t length, const uint8_t *data);
void DecodeCoinItems(TavoData *record, uint32_t length, const uint8_t *data);
void DecodeBillItems(TavoData *record, uint32_t length, const uint8_t *data);

// A unit is fitted when either of its unit-id bytes in the live record is
// non-zero; only fitted units are polled or commanded.
bool CoinFitted();
bool BillFitted();

// The six exchanges: 0, or -1 for any failure.
int ReadBoard();
int PollBoard();
int ReadCoin();
int ReadBill();
int PollCoin();
int PollBill();

// Failure bits of a refresh, returned negated and added together.
constexpr int RefreshCoinFailed = 1;
constexpr int RefreshBillFailed = 2;
constexpr int RefreshBoardFailed = 4;

// Polls (RefreshStatus) or re-reads (ReloadStatus) the fitted units, polls
// the board and recomputes Credit. 0 or minus the failure bits.
//
// The board and the units report in a poll only what changed since their
// last report, and take a report as delivered once they have sent it. A
// poll whose reply is lost therefore loses what it carried (a coin, a
// payout done, a charge counted) for good. So a device whose exchange
// failed is read in full at its next refresh instead of polled, and the
// pending bits whose report may have been lost are settled from what its
// full state shows: a payout is over once the unit has stopped with its
// counts moved; a settle is done once the unit has stopped with its trade
// counts closed (coin unit) or its escrow and out-count empty (note unit).
int RefreshStatus();
int ReloadStatus();
// Polls one money unit alone (RefreshCoinFailed or RefreshBillFailed), for
// a wait on that unit's report. 0 or minus its failure bit.
int RefreshUnit(int unit);
void ComputeCredit();
// Marks a device for a full read at its next refresh: its report may have
// been lost on the line.
void DoubtDevice(int failureBit);
// Clears pending bits from a unit's full state: a payout is over once the
// unit has stopped; a settle is done once the unit has stopped with its
// trade counts closed (coin unit) or its escrow and out-count empty (note
// unit); an unconfirmed payout has run once the unit's counts moved. Only a
// unit just read in full after a lost report (`coinRead`, `billRead`) is
// judged by its state; otherwise its own report clears the bits.
void ResolvePendingFromState(bool coinRead, bool billRead);
// Writes the pending bytes into the top bytes of the fitted units' flags
// words, as they stand now.
void MirrorPendingInFlags();
// What Credit shows while the customer's money is more than 16 bits hold.
constexpr uint16_t kCreditHeld = 65530;

// Counter 0 on the board counts the notes taken in during the trade, 16 to
// a note, in steps. The first step marks a held note "on its way" before
// the settle that moves it out of the escrow; the last completes the 16 once
// the note has left it. Between the two the note is in no count the note
// unit keeps; marked on the board first, it cannot be lost by a crash, a
// reopen or a power cut: the count says "a note on its way", and the escrow
// tells whether it is still held. The remainder of the count by 16:
//    0  no note on its way
//    8  a note on its way
//   12  the mark was void: the customer took the note back before the settle
//       reached the unit (a counter can only be added to or cleared)
//   14  a note on its way, marked after a void mark
//   15  that mark was void too: no further note is taken in this trade
// A count from 1 to 7 was left by a library that counted one per note.
constexpr uint32_t kNoteCount = 16;
uint32_t NotesCounted(uint32_t counter0);
bool NoteOnItsWay(uint32_t counter0);
// What to add to counter 0 to mark a held note on its way (0: no mark is
// possible), to record a mark as void, and to complete a note on its way.
uint32_t MarkStep(uint32_t counter0);
uint32_t VoidStep(uint32_t counter0);
uint32_t CompleteStep(uint32_t counter0);
// Whether the board's counter 0 shows a note on its way.
bool NoteMarked();
// Brings BillStacked and the take-in pending bits up to the board's
// counter 0.
void SyncNotesFromBoard();

// Per-trade counts of the coin unit are BCD bytes that stop at 99: coins
// are taken only while every denomination's count is below this, which
// leaves room for the coins that arrive between two polls.
constexpr uint8_t kCoinCountCeiling = 90;
// Whether every coin-in count of the trade is below the ceiling.
bool CoinCountsHaveRoom();

// What each money unit's own counts hold for the trade: coins in less coins
// out; notes held in the escrow less notes paid out. (The notes taken in are
// counted on the board, not by the note unit.)
int64_t CoinUnitNet();
int64_t NoteUnitNet();

// What the charged-amount meter holds above the money the units' counts
// still hold for the trade (0 when it holds no more). Only a close that
// stopped half-way leaves more charged than the counts hold: a settle has
// closed counts whose money the meter still counts.
uint32_t ChargedAboveCounts();

#endif  // TAVOCTL_STATE_STATE_H
