// What decoding the board's full item list (text, meters, aux, blocks)
// costs: the one benchmark of a routine inside the library, so it links the
// library's insides rather than its exports (and the virtual unit for the
// D2XX functions the library's other routines call).
#include <benchmark/benchmark.h>

#include <vector>

#include "state/state.h"

namespace {

void BM_DecodeBoardRead(benchmark::State &state) {
  // A full board read: text, meters, aux, blocks.
  std::vector<uint8_t> list;
  auto add = [&](uint8_t tag, size_t size) {
    list.push_back(static_cast<uint8_t>(size + 1));
    list.push_back(tag);
    for (size_t i = 0; i < size; ++i)
      list.push_back(static_cast<uint8_t>(i * 7));
  };
  add(0x7D, 127);
  add(0x7A, 60);
  add(0x79, 3);
  add(0x7B, 14);
  PcbData record{};
  for (auto _ : state) {
    DecodeBoardItems(&record, static_cast<uint32_t>(list.size()), list.data());
    benchmark::DoNotOptimize(record);
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * list.size()));
}
BENCHMARK(BM_DecodeBoardRead);

}  // namespace

BENCHMARK_MAIN();
