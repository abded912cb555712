// Charging the price and paying change.
#include "api/frame.h"
#include "commands/commands.h"
#include "state/state.h"
#include "trade/trade.h"

namespace {

enum class Charged { Yes, No, Unknown };

// What the board's meter says of a charge of `amount` made on top of
// `before`. Only meaningful right after a refresh whose board exchange
// succeeded.
Charged MeterShows(uint32_t before, uint16_t amount) {
  uint32_t now = Unit.PcbRecord.Meters[8];
  if (now == before + amount) return Charged::Yes;
  if (now == before) return Charged::No;
  return Charged::Unknown;
}

// The shared part of TAVO_PayBack and TAVO_PayOut: acceptance off and the
// units waited for, then `value` (the credit as the wait left it, or the
// amount asked for) paid in notes and coins, if the stock can pay it whole.
uint16_t Pay(uint8_t fn, bool wholeCredit, uint32_t amount) {
  if (uint16_t code = ReadyForMoney(fn)) return code;
  // An amount with bits above the 16 the unit takes is refused rather than
  // paid in part.
  if (amount > 0xFFFF) return Code(fn, Reason::BadArgument);
  Unit.PcbRecord.AcceptLimit = 0;
  if (int r = SetAcceptance(AcceptForceOff))
    return Code(
        fn, r == -1 ? Reason::CoinInhibitRefused : Reason::NoteInhibitRefused);
  if (int r = WaitUnitsIdle())
    return Code(fn, static_cast<uint8_t>(Reason::IdleWait - r));
  // A payout against a held note would pay its value while the customer can
  // still take the note itself back.
  if (uint16_t code = TakeNotesInFirst(fn)) return code;
  uint32_t value = wholeCredit ? Unit.PcbRecord.Credit : amount;
  if (value != 0 && !ChangePayable(value))
    return Code(fn, Reason::StockCannotPay);
  uint32_t notes = NotesFor(value);
  uint32_t coins = value - 1000 * notes;
  int r =
      StartPayout(static_cast<uint16_t>(notes), static_cast<uint16_t>(coins));
  if (r == PayoutNoteUnconfirmed) {
    // The note payout went out without a readable answer: nothing more is
    // paid until the note unit shows whether it runs.
    int neverStarted = ResolveUnconfirmedPayouts();
    if (Unit.BillPending & PendingUnconfirmed)
      return Code(fn, Reason::NotePayoutUnconfirmed);
    if (neverStarted & RefreshBillFailed)
      return Code(fn, Reason::NotePayoutFailed);
    r = StartCoinPayout(static_cast<uint16_t>(coins));  // the notes run
  }
  if (r == PayoutCoinUnconfirmed) {
    int neverStarted = ResolveUnconfirmedPayouts();
    if (Unit.CoinPending & PendingUnconfirmed)
      return Code(fn, Reason::CoinPayoutUnconfirmed);
    if (neverStarted & RefreshCoinFailed)
      return Code(fn, Reason::CoinPayoutFailed);
    return TAVO_OK;
  }
  if (r == PayoutCoinFailed) return Code(fn, Reason::CoinPayoutFailed);
  if (r == PayoutNoteFailed) return Code(fn, Reason::NotePayoutFailed);
  return TAVO_OK;
}

}  // namespace

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_Charge(uint32_t handle,
                                                   uint32_t amount) {
  constexpr uint8_t fn = TAVO_FN_CHARGE;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (uint16_t code = ReadyForMoney(fn)) return code;
    // The board counts the charge in 15 bits; an amount with bits above
    // them is refused rather than charged in part.
    if (amount == 0 || amount >= 0x8000) return Code(fn, Reason::BadArgument);
    uint16_t price = static_cast<uint16_t>(amount);
    if (Unit.ChargeInDoubt.open) {
      // The board has been read since (the refresh above): it tells
      // whether the charge left in doubt was counted. Asked again for the
      // same amount, a charge that was counted is not made twice.
      Charged was =
          MeterShows(Unit.ChargeInDoubt.meterBefore, Unit.ChargeInDoubt.amount);
      if (was == Charged::Unknown) return Code(fn, Reason::ChargeUnconfirmed);
      Unit.ChargeInDoubt.open = false;
      if (was == Charged::Yes && price == Unit.ChargeInDoubt.amount)
        return ApplyAcceptLimit();
    }
    // The price may rest on a held note only once the note is taken in:
    // until then the customer can still take it back.
    uint32_t held = 1000u * Unit.LiveRecord.BillEscrow;
    if (price + held > Unit.PcbRecord.Credit && NoteWaiting()) {
      if (uint16_t code = TakeNotesInFirst(fn)) return code;
    }
    if (price > Unit.PcbRecord.Credit) return Code(fn, Reason::AboveCredit);
    uint32_t change = Unit.PcbRecord.Credit - price;
    if (change != 0 && !ChangePayable(change))
      return Code(fn, Reason::ChangeNotPayable);
    uint32_t before = Unit.PcbRecord.Meters[8];
    bool acked = SendCounter(static_cast<uint8_t>(CounterAmount | (price >> 8)),
                             static_cast<uint8_t>(price & 0xFF)) == 0;
    if (!acked && LastDelivery() == Delivery::NotSent)
      return Code(fn, Reason::ChargeNotCounted);
    // Whatever the answer, the board's meter decides: an acknowledgement can
    // be lost after the board counted the charge, and a garbled reply can
    // look like one though nothing was counted. The refresh reads it back
    // (a board whose answer was lost is read in full).
    if (!acked) DoubtDevice(RefreshBoardFailed);
    int r = RefreshStatus();
    if ((-r & RefreshBoardFailed) != 0 && ReadBoard() == 0) {
      // The board's poll reply was lost; its full read tells as well.
      Unit.ReadInFull =
          static_cast<uint8_t>(Unit.ReadInFull & ~RefreshBoardFailed);
      r += RefreshBoardFailed;
      ComputeCredit();
    }
    Charged counted = (-r & RefreshBoardFailed) != 0
                          ? Charged::Unknown
                          : MeterShows(before, price);
    if (counted == Charged::No) return Code(fn, Reason::ChargeNotCounted);
    if (counted == Charged::Unknown) {
      Unit.ChargeInDoubt = ChargeDoubt{true, before, price};
      return Code(fn, Reason::ChargeUnconfirmed);
    }
    // The charge stands on the board and Credit is lowered by it.
    if (r != 0) return RefreshCode(fn, Reason::SecondRefreshFailed, r);
    return ApplyAcceptLimit();
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_PayBack(uint32_t handle) {
  return RunExport(TAVO_FN_PAYBACK, handle,
                   [&]() { return Pay(TAVO_FN_PAYBACK, true, 0); });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_PayOut(uint32_t handle,
                                                   uint32_t amount) {
  return RunExport(TAVO_FN_PAYOUT, handle,
                   [&]() { return Pay(TAVO_FN_PAYOUT, false, amount); });
}
