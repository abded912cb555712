// What one sale costs, against the virtual unit:
//   - BM_Sale: the computer's time for a whole trade (begin, accept, a
//     customer paying in coins and a note, charge, change, end) with the
//     unit answering at once.
//   - BM_SaleOnTheWire: the same sale on the unit's wire-timing model
//     (38400 baud 8N1 and a reply latency, on a virtual clock). Its counters
//     compare the time the link takes with the link's physical limit, the
//     time of the bytes alone at 10 bits each.
// Both reach the library through its exports alone.
#include <benchmark/benchmark.h>

#include "tavoctl.h"
#include "tavovu.h"

namespace {

struct Traffic {
  uint64_t bytes = 0;
  uint64_t frames = 0;
};

void Count(void *context, const vu_trace_event *event) {
  auto *t = static_cast<Traffic *>(context);
  t->bytes += event->length;
  if (event->direction == VU_TRACE_REQUEST) ++t->frames;
}

// One trade of price 1280 paid with a note and a 500-coin, change 220.
bool RunSale(uint32_t handle) {
  TavoData live{};
  if (TAVO_TradeBegin(handle) != 0 || TAVO_Accept(handle, 1280) != 0)
    return false;
  vu_insert_note(0, 1000);
  for (int i = 0; i < 6; ++i) TAVO_GetTAVOData(handle, &live);
  vu_insert_coin(0, 500);
  TAVO_GetTAVOData(handle, &live);
  if (TAVO_Charge(handle, 1280) != 0 || TAVO_PayBack(handle) != 0) return false;
  for (int i = 0; i < 10 && ((live.CoinFlags | live.BillFlags) >> 24) != 0;
       ++i) {
    TAVO_GetTAVOData(handle, &live);
  }
  for (int i = 0; i < 4; ++i) TAVO_GetTAVOData(handle, &live);
  return TAVO_TradeEnd(handle) == 0;
}

void BM_Sale(benchmark::State &state) {
  vu_reset();
  uint32_t handle = 0;
  if (TAVO_Open(&handle) != 0) state.SkipWithError("open failed");
  for (auto _ : state) {
    if (!RunSale(handle)) {
      state.SkipWithError("sale failed");
      break;
    }
    // Keep the stock from running dry over many sales.
    int coins[4] = {50, 50, 50, 50};
    vu_set_coin_stock(0, coins);
  }
  TAVO_Close(handle);
}
BENCHMARK(BM_Sale);

void BM_SaleOnTheWire(benchmark::State &state) {
  vu_reset();
  vu_timing timing{1, 0, 0.0, static_cast<double>(state.range(0)), 0.0};
  vu_set_timing(&timing);
  uint32_t handle = 0;
  if (TAVO_Open(&handle) != 0) state.SkipWithError("open failed");
  Traffic traffic;
  uint64_t wireUs = 0;
  int sales = 0;
  vu_set_trace(Count, &traffic);
  for (auto _ : state) {
    uint64_t start = vu_now_us();
    if (!RunSale(handle)) {
      state.SkipWithError("sale failed");
      break;
    }
    wireUs += vu_now_us() - start;
    ++sales;
    int coins[4] = {50, 50, 50, 50};
    vu_set_coin_stock(0, coins);
  }
  vu_set_trace(nullptr, nullptr);
  TAVO_Close(handle);
  if (sales > 0) {
    double byteUs = 10.0 * 1e6 / 38400.0;
    state.counters["link_ms_per_sale"] =
        static_cast<double>(wireUs) / 1000.0 / sales;
    state.counters["limit_ms_per_sale"] =
        static_cast<double>(traffic.bytes) * byteUs / 1000.0 / sales;
    state.counters["frames_per_sale"] =
        static_cast<double>(traffic.frames) / sales;
    state.counters["bytes_per_sale"] =
        static_cast<double>(traffic.bytes) / sales;
  }
  vu_set_timing(nullptr);
}
BENCHMARK(BM_SaleOnTheWire)->Arg(0)->Arg(2000)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
