#include "money.h"

#include <algorithm>

namespace tavod {

uint32_t InsertedValue(const TavoData &t) {
  uint32_t in = 0;
  for (int i = 0; i < 4; ++i) in += t.CoinIn[i] * uint32_t(kCoinValues[i]);
  return in + kNoteValue * (t.BillEscrow + t.BillStacked);
}

uint32_t PaidValue(const TavoData &t) {
  uint32_t out = 0;
  for (int i = 0; i < 4; ++i) out += t.CoinOut[i] * uint32_t(kCoinValues[i]);
  return out + kNoteValue * t.BillOut;
}

uint32_t DerivedCredit(const TavoData &units, const PcbData &board) {
  uint32_t in = InsertedValue(units), out = PaidValue(units);
  uint32_t net = out > in ? 0 : in - out;
  uint32_t charged = board.Meters[8];
  return net > charged ? net - charged : 0;
}

Metered MeteredSince(const PcbData &board, const uint32_t base[4]) {
  const uint32_t *m = board.Meters;
  return {int64_t(m[0]) - base[0] + int64_t(m[1]) - base[1],
          int64_t(m[2]) - base[2] + int64_t(m[3]) - base[3]};
}

void TakeMeterBase(const PcbData &board, uint32_t base[4]) {
  for (int i = 0; i < 4; ++i) base[i] = board.Meters[i];
}

void CountsIn(const TavoData &t, uint32_t in[5]) {
  for (int i = 0; i < 4; ++i) in[i] = t.CoinIn[i];
  in[4] = uint32_t(t.BillEscrow) + t.BillStacked;
}

void CountsOut(const TavoData &t, uint32_t out[5]) {
  for (int i = 0; i < 4; ++i) out[i] = t.CoinOut[i];
  out[4] = t.BillOut;
}

void KeepLargerCounts(const TavoData &t, uint32_t in[5], uint32_t out[5]) {
  uint32_t nowIn[5], nowOut[5];
  CountsIn(t, nowIn);
  CountsOut(t, nowOut);
  for (int k = 0; k < 5; ++k) {
    in[k] = std::max(in[k], nowIn[k]);
    out[k] = std::max(out[k], nowOut[k]);
  }
}

void StockCounts(const TavoData &t, uint32_t stock[5]) {
  for (int i = 0; i < 4; ++i) stock[i] = t.CoinStock[i];
  stock[4] = t.BillStock;
}

bool Fitted(const uint8_t id[2]) { return id[0] || id[1]; }

bool UnitsBusy(const TavoData &t) {
  bool coinBusy = Fitted(t.CoinUnitId) &&
                  !(t.CoinFlags & (TAVO_COIN_STOPPED | TAVO_COIN_ACCEPTING));
  bool noteBusy = Fitted(t.BillUnitId) &&
                  !(t.BillFlags & (TAVO_BILL_STOPPED | TAVO_BILL_ACCEPTING));
  return coinBusy || noteBusy;
}

}  // namespace tavod
