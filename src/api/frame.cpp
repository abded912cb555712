#include "api/api.h"
#include "state/state.h"

std::atomic<uint8_t> ApiBusy{0};

bool AnyPending() { return CoinPending != 0 || BillPending != 0; }

bool UnitPaying() {
  return (LiveRecord.CoinFlags & CoinPayoutBit) != 0 ||
         (LiveRecord.BillFlags & BillPayoutBit) != 0;
}

uint16_t ReadyForMoney(uint8_t function) {
  if (PcbRecord.TradeId == 0) return Code(function, TAVO_REASON_NO_TRADE);
  if (int r = RefreshStatus())
    return RefreshCode(function, TAVO_REASON_REFRESH, r);
  if (AnyPending()) return Code(function, TAVO_REASON_PENDING);
  if (UnitPaying()) return Code(function, TAVO_REASON_PAYING);
  return TAVO_OK;
}
