// The library's mirror of the unit: the board record, the live and backup
// money-unit records, the pending bytes, the item decoders and the status
// refresh with the credit computation.
#ifndef TAVOCTL_STATE_STATE_H
#define TAVOCTL_STATE_STATE_H

#include <cstdint>

#include "tavoctl.h"

extern PcbData PcbRecord;      // the board and the trade
extern TavoData LiveRecord;    // what the money units report now
extern TavoData BackupRecord;  // what the backup memory held at open

// Commands sent to a unit whose completion it reports later; the top byte of
// the unit's flags word mirrors them.
extern uint8_t CoinPending;
extern uint8_t BillPending;
constexpr uint8_t PendingSettle = 0x01;
constexpr uint8_t PendingPayout = 0x02;
constexpr uint8_t PendingRecheck = 0x04;  // note unit only
constexpr uint8_t PendingCount = 0x08;    // note unit only

// Trade state kept beside the records.
extern uint8_t NoteLimit;
extern uint32_t TradeCounter;

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
int RefreshStatus();
int ReloadStatus();
void ComputeCredit();
// What Credit shows while the customer's money is more than 16 bits hold.
constexpr uint16_t kCreditHeld = 65530;

// Clears every record, pending byte and trade value (done at open).
void ClearState();

#endif  // TAVOCTL_STATE_STATE_H
