// Charging the price and paying change.
#include "api/api.h"
#include "commands/commands.h"
#include "state/state.h"

namespace {

// Notes of 1000 to pay for a value: as many as the value and the stock
// allow, but never more than nine, the most a single note payout command
// can carry (it holds one decimal digit of count; ten would go out as 0).
uint32_t NotesFor(uint32_t value) {
  uint32_t notes = value / 1000;
  if (notes > LiveRecord.BillStock) notes = LiveRecord.BillStock;
  if (notes > kMaxNotesPerPayout) notes = kMaxNotesPerPayout;
  return notes;
}

// The shared part of TAVO_PayBack and TAVO_PayOut: acceptance off and the
// units waited for, then `value` (the credit as the wait left it, or the
// amount asked for) paid in notes and coins, if the stock can pay it whole.
uint16_t Pay(uint8_t fn, bool wholeCredit, uint16_t amount) {
  if (uint16_t code = ReadyForMoney(fn)) return code;
  PcbRecord.AcceptLimit = 0;
  if (int r = SetAcceptance(AcceptForceOff))
    return Code(fn, r == -1 ? 0x62 : 0x64);
  if (int r = WaitUnitsIdle()) return Code(fn, static_cast<uint8_t>(0x50 - r));
  uint32_t value = wholeCredit ? PcbRecord.Credit : amount;
  if (value != 0 && !ChangePayable(value)) return Code(fn, 0x77);
  uint32_t notes = NotesFor(value);
  uint32_t coins = value - 1000 * notes;
  if (int r = StartPayout(static_cast<uint16_t>(notes),
                          static_cast<uint16_t>(coins))) {
    return Code(fn, static_cast<uint8_t>(0x66 - r));
  }
  return TAVO_OK;
}

}  // namespace

// Whether the stock can pay `value` exactly: notes first (at most nine),
// then 500, 100, 50 and 10. Each denomination divides the next larger one,
// so this greedy split finds a way whenever there is one.
bool ChangePayable(uint32_t value) {
  const TavoData &live = LiveRecord;
  uint32_t rest = value - 1000 * NotesFor(value);
  static const uint32_t kCoinValues[4] = {500, 100, 50, 10};
  static const int kStockIndex[4] = {3, 2, 1, 0};
  for (int i = 0; i < 4; ++i) {
    uint32_t k = rest / kCoinValues[i];
    if (k > live.CoinStock[kStockIndex[i]]) k = live.CoinStock[kStockIndex[i]];
    rest -= kCoinValues[i] * k;
  }
  return rest == 0;
}

// Starts the note payout, then the coin payout; a failed note payout starts
// no coin payout. The coin unit picks the coins for the amount itself.
int StartPayout(uint16_t notes, uint16_t coins) {
  if (BillFitted() && notes > 0) {
    if (BillPayout(static_cast<uint8_t>(notes)) != 0) return -2;
    BillPending |= PendingPayout;
  }
  if (CoinFitted() && coins > 0) {
    if (CoinPayout(coins) != 0) return -1;
    CoinPending |= PendingPayout;
  }
  return 0;
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_Charge(uint32_t handle,
                                                   uint32_t amount) {
  constexpr uint8_t fn = TAVO_FN_CHARGE;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (uint16_t code = ReadyForMoney(fn)) return code;
    // The board counts the charge in 15 bits.
    uint16_t price = static_cast<uint16_t>(amount);
    if (price == 0 || price >= 0x8000)
      return Code(fn, TAVO_REASON_BAD_ARGUMENT);
    if (price > PcbRecord.Credit) return Code(fn, 0x74);
    uint32_t change = PcbRecord.Credit - price;
    if (change != 0 && !ChangePayable(change)) return Code(fn, 0x75);
    if (SendCounter(static_cast<uint8_t>(CounterAmount | (price >> 8)),
                    static_cast<uint8_t>(price & 0xFF)) != 0) {
      return Code(fn, 0x76);
    }
    // From here the charge stands on the board: the refresh reads it back
    // through the charged-amount meter and lowers Credit by it.
    if (int r = RefreshStatus()) return RefreshCode(fn, 0x40, r);
    return ApplyAcceptLimit();
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_PayBack(uint32_t handle) {
  return RunExport(TAVO_FN_PAYBACK, handle,
                   [&]() { return Pay(TAVO_FN_PAYBACK, true, 0); });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_PayOut(uint32_t handle,
                                                   uint32_t amount) {
  return RunExport(TAVO_FN_PAYOUT, handle, [&]() {
    return Pay(TAVO_FN_PAYOUT, false, static_cast<uint16_t>(amount));
  });
}
