// The unit's state: everything the library keeps of the open unit and the
// trade, in one place. It exists once per process, as the exports require
// (they take no context), and starts from its defaults: TAVO_Open puts it
// back to them in one assignment before it opens a device, and a test does
// the same.
#ifndef TAVOCTL_UNIT_UNIT_H
#define TAVOCTL_UNIT_UNIT_H

#include <cstdint>

#include "d2xx.h"
#include "protocol/protocol.h"
#include "tavoctl.h"

// What a digit code of the display shows as blank.
constexpr uint8_t kBlankDigit = 0x80;

// A charge whose counter frame went out but whose effect could not be
// confirmed from the board: the charged-amount meter before it, and the
// amount. The meter settles it at the next refresh that reads the board.
struct ChargeDoubt {
  bool open = false;
  uint32_t meterBefore = 0;
  uint16_t amount = 0;
};

struct UnitState {
  // ---- the link
  // The handle the application sees, 0 while no unit is open. On 32-bit
  // Windows it is the driver handle itself; where driver handles are 64-bit
  // pointers it is a non-zero number that stands for DriverHandle.
  uint32_t DeviceHandle = 0;
  // The driver's own handle of the open unit, nullptr while none is open.
  FT_HANDLE DriverHandle = nullptr;
  // Status of the most recent driver call, FT_OK for success.
  uint32_t LastDriverStatus = 0;
  // Serial-number text of the last device whose information was read.
  uint8_t SerialNo[16] = {};
  // What became of the last command the encoders sent.
  Delivery LastDelivery = Delivery::NotSent;

  // ---- the records
  PcbData PcbRecord = {};      // the board and the trade
  TavoData LiveRecord = {};    // what the money units report now
  TavoData BackupRecord = {};  // what the backup memory held at open

  // ---- commands a unit reports done later (see PendingSettle...); the
  // top byte of the unit's flags word mirrors them.
  uint8_t CoinPending = 0;
  uint8_t BillPending = 0;
  // The devices (RefreshCoinFailed, RefreshBillFailed, RefreshBoardFailed
  // bits) that the next refresh reads in full: their report may have been
  // lost on the line.
  uint8_t ReadInFull = 0;
  // What a money unit showed when a payout command to it went unconfirmed:
  // out-counts and stocks (coin unit: four of each; note unit: one of each).
  uint8_t CoinPayoutMark[8] = {};
  uint8_t BillPayoutMark[2] = {};
  // Trade and money exports refused in a row because a command stayed
  // pending.
  uint32_t RefusedWhilePending = 0;

  // ---- the trade
  uint8_t NoteLimit = 0;
  uint32_t TradeCounter = 0;
  // The credit as computed, before it is held to 16 bits.
  uint32_t TrueCredit = 0;
  // Set by an open that found a trade the units had not settled: the next
  // TAVO_TradeBegin carries that trade on instead of starting from zero.
  bool ResumingTrade = false;
  // Set once TAVO_TradeEnd has found the credit at 0 and begins to settle
  // the units, until the trade is closed. Each unit's settle closes its own
  // counts (the note unit's out-count of notes paid among them), so while
  // one unit has settled and the other has not, or the board's meters have
  // not been cleared yet, the counts no longer add up to the trade's money:
  // the credit is held at 0 until the trade is closed, and the money
  // exports wait.
  bool TradeClosing = false;
  // The fitted units (RefreshCoinFailed, RefreshBillFailed bits) whose
  // settle in the trade's close has been reported done.
  uint8_t ClosedUnits = 0;
  // The note stock when the last note was marked on its way or seen held
  // with its mark (`NoteStockMarkKnown` false when this process has not
  // seen it): a note stacked raises it, a note taken back does not.
  uint8_t NoteStockMark = 0;
  bool NoteStockMarkKnown = false;
  ChargeDoubt ChargeInDoubt;

  // ---- the display as it last accepted a command
  uint8_t SegDots = 0;
  uint8_t SegDigits[4] = {kBlankDigit, kBlankDigit, kBlankDigit, kBlankDigit};
};

extern UnitState Unit;

#endif  // TAVOCTL_UNIT_UNIT_H
