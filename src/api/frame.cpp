#include "api/api.h"
#include "state/state.h"

std::atomic<uint8_t> ApiBusy{0};

bool AnyPending() { return CoinPending != 0 || BillPending != 0; }

bool UnitPaying() {
  return (LiveRecord.CoinFlags & CoinPayoutBit) != 0 ||
         (LiveRecord.BillFlags & BillPayoutBit) != 0;
}
