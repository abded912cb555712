// Connection control: opening and starting the unit, closing it, resetting
// the board and clearing its backup memory.
#include <cstring>

#include "api/frame.h"
#include "commands/commands.h"
#include "link/link.h"
#include "state/state.h"
#include "trade/trade.h"

namespace {

// Board stopped (its answer does not matter: the port closes anyway), port
// closed, handle cleared.
void CloseUnit() {
  BoardStop();
  ClosePort();
}

// A backup read: StAck brings what the board stored for the unit, StNone
// says it stored nothing. Anything else, a list included, is a failure.
int ReadBackup(uint8_t command,
               void (*decode)(TavoData *, uint32_t, const uint8_t *)) {
  FrameBuf reply;
  uint32_t count = 0;
  int status = Transact(command, &count, &reply);
  if (status == StAck) {
    decode(&Unit.BackupRecord, count, reply);
    return 0;
  }
  return status == StNone ? 0 : -1;
}

// The board's full data, what its backup memory holds for the two units,
// its clock set to the computer's local time of this moment, the board
// started and polled once.
int StartBoard() {
  if (ReadBoard() != 0) return -1;
  if (ReadBackup(CmdBackupCoin, DecodeCoinItems) != 0) return -1;
  if (ReadBackup(CmdBackupBill, DecodeBillItems) != 0) return -1;
  if (BoardClock() != 0) return -1;
  if (BoardStart() != 0) return -1;
  if (PollBoard() != 0) return -1;
  return 0;
}

// A trade the units and the board still hold: money counted in or out that
// no settle has closed, a note in escrow, notes counted or amounts charged
// on the board. The application (or the computer) stopped in the middle of
// a sale; settling now would close the counts and the customer's money
// would vanish from the credit.
bool UnsettledTrade() {
  const TavoData &live = Unit.LiveRecord;
  for (int k = 0; k < 4; ++k) {
    if (live.CoinIn[k] != 0 || live.CoinOut[k] != 0) return true;
  }
  return live.BillEscrow != 0 || live.BillOut != 0 ||
         Unit.PcbRecord.Meters[4] != 0 || Unit.PcbRecord.Meters[8] != 0;
}

}  // namespace

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_Open(uint32_t *handle) {
  constexpr uint8_t fn = TAVO_FN_OPEN;
  return Guarded(fn, [&]() -> uint16_t {
    if (Unit.DeviceHandle != 0) return Code(fn, Reason::AlreadyOpen);
    // Refused before anything is opened: there would be nowhere to put the
    // handle of the unit.
    if (handle == nullptr) return Code(fn, Reason::BadArgument);
    // Nothing of an earlier session is kept: records, pending commands,
    // doubts, marks and the display's memory (blank) start afresh, and the
    // unit found is read anew.
    Unit = UnitState{};
    switch (SearchDevice()) {
      case SearchOutcome::NoCount:
        return Code(fn, Reason::NoDeviceCount);
      case SearchOutcome::NoDevice:
        return Code(fn, Reason::NoDevice);
      case SearchOutcome::NoneAccepted:
        return Code(fn, Reason::NoDeviceAccepted);
      case SearchOutcome::Open:
        break;
    }
    *handle = Unit.DeviceHandle;
    std::memcpy(Unit.PcbRecord.SerialNo, Unit.SerialNo,
                sizeof Unit.PcbRecord.SerialNo);

    if (BoardHello() != 0) {
      CloseUnit();
      return Code(fn, Reason::NoBoardHello);
    }
    if (StartBoard() != 0) {
      CloseUnit();
      return Code(fn, Reason::BoardStartFailed);
    }

    // Display blank, buzzer silent; a board that misses these still works.
    const uint8_t display[5] = {Unit.SegDots, Unit.SegDigits[0],
                                Unit.SegDigits[1], Unit.SegDigits[2],
                                Unit.SegDigits[3]};
    Send7Seg(display);
    SendBuzzer(nullptr, 0);

    // A unit that does not answer its hello is not fitted: its unit-id bytes
    // stay 0 and it is never addressed again until the next open.
    if (BillHello() == 0 && ReadBill() != 0) {
      CloseUnit();
      return Code(fn, Reason::UnitReadFailed);
    }
    if (CoinHello() == 0 && ReadCoin() != 0) {
      CloseUnit();
      return Code(fn, Reason::UnitReadFailed);
    }
    // An unfinished trade is kept for TAVO_TradeBegin to carry on with;
    // otherwise the units start from settled counts. One whose close had
    // begun (the charged meter holds more than the counts: a settle has
    // closed counts the meter still charges) is closed by TAVO_TradeBegin
    // before it begins the next trade: its money was all charged or paid.
    //
    // A payout the last session started may still run (the process died
    // while it was paying): acceptance goes off and the units are waited
    // for first, so that what it pays is on their counts before they are
    // judged; settled now, it would count into the next trade instead.
    bool busy = (CoinFitted() && !CoinIdle()) || (BillFitted() && !BillIdle());
    if (busy && SetAcceptance(AcceptForceOff) == 0) WaitUnitsIdle();
    SyncNotesFromBoard();
    ComputeCredit();
    Unit.ResumingTrade = UnsettledTrade();
    if (Unit.ResumingTrade) {
      Unit.TradeClosing = ChargedAboveCounts() != 0;
      ComputeCredit();
      return TAVO_OK;
    }
    if (SettleUnits() != 0)
      return Code(fn, Reason::SettleAtOpenFailed);  // the unit stays open
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_Close(uint32_t handle) {
  constexpr uint8_t fn = TAVO_FN_CLOSE;
  (void)handle;  // closing is always allowed: the handle is not compared
  return Guarded(fn, [&]() -> uint16_t {
    if (Unit.DeviceHandle == 0) return Code(fn, Reason::NotOpen);
    CloseUnit();
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_Reset(uint32_t handle) {
  constexpr uint8_t fn = TAVO_FN_RESET;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (BoardStop() != 0) return Code(fn, Reason::StopRefused);
    if (BoardReset() != 0) return Code(fn, Reason::ResetRefused);
    ClosePort();
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_ClearBackup(uint32_t handle) {
  // Runs as function 0x03, but its codes carry 0x01 in the high byte.
  constexpr uint8_t codes = TAVO_FN_OPEN;
  return RunExport(
      TAVO_FN_CLEARBACKUP, handle,
      [&]() -> uint16_t {
        if (BoardClearBackup() != 0)
          return Code(codes, Reason::ClearBackupRefused);
        if (ReadBoard() != 0) return Code(codes, Reason::BoardRereadFailed);
        return TAVO_OK;
      },
      codes);
}
