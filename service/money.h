// The money of a trade as the service reads it from the records the
// library fills: the one place the service derives it. The board's Credit
// (PcbData) is the library's own figure, renewed only when the board is
// read; during a sale the service polls the money units alone (three
// frames a poll instead of more), and between two reads of the board it
// derives the credit here from the units' counts and the charge the board
// last showed.
#ifndef TAVOD_MONEY_H
#define TAVOD_MONEY_H

#include <cstdint>

#include "tavoctl.h"

namespace tavod {

constexpr int kCoinValues[4] = {10, 50, 100, 500};
constexpr uint32_t kNoteValue = 1000;

// Money the units counted in (notes in the escrow and stacked) and out in
// the trade.
uint32_t InsertedValue(const TavoData &units);
uint32_t PaidValue(const TavoData &units);
// Money in, less money out, less what the board has charged in the trade.
uint32_t DerivedCredit(const TavoData &units, const PcbData &board);

// What the board's money meters counted in and out since a base taken at
// the start of a sale or operation.
struct Metered {
  int64_t in = 0;
  int64_t out = 0;
};
Metered MeteredSince(const PcbData &board, const uint32_t base[4]);
void TakeMeterBase(const PcbData &board, uint32_t base[4]);

// The coins and notes counted in and out in the trade, by denomination
// (10, 50, 100, 500, 1000); a note in the escrow counts as in.
void CountsIn(const TavoData &units, uint32_t in[5]);
void CountsOut(const TavoData &units, uint32_t out[5]);
// Both, each denomination keeping the larger of what `counts` held and what
// the units show: a trade's counts only grow until its close clears them,
// so counts read after the close keep what the trade counted.
void KeepLargerCounts(const TavoData &units, uint32_t in[5], uint32_t out[5]);
// The stock's counts by denomination.
void StockCounts(const TavoData &units, uint32_t stock[5]);
constexpr uint32_t kValues[5] = {10, 50, 100, 500, 1000};

// A unit is fitted when it has an id.
bool Fitted(const uint8_t id[2]);
// A fitted unit that reports neither stopped nor accepting is paying out
// (or jammed).
bool UnitsBusy(const TavoData &units);

}  // namespace tavod

#endif  // TAVOD_MONEY_H
