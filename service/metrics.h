// The service's figures in the Prometheus text format: counters with the
// unit in the name and _total, gauges for the stock, a histogram of the time
// each export takes. Labels take only bounded values (outcomes, result
// codes, export names, denominations).
#ifndef TAVOD_METRICS_H
#define TAVOD_METRICS_H

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace tavod {

class Metrics {
 public:
  void SaleFinished(const std::string &outcome, uint32_t charged,
                    uint32_t inserted);
  void PaidOut(uint32_t amount);
  void Fault(uint16_t code, bool linkError);
  void Exchange(const char *exportName, double seconds);
  void Stock(const std::array<int, 5> &stock);  // 10, 50, 100, 500, 1000
  // The low and full marks of each denomination, and the largest change
  // the stock pays exactly.
  void StockMarks(const std::array<std::pair<uint32_t, uint32_t>, 5> &marks);
  void LargestChange(uint32_t yen);
  void UnitUp(bool up);
  void OpenIncidents(size_t count);
  void Http(unsigned status);
  // The journal: faulted (a write failed or its disk reserve is spent) and
  // the writes that failed so far.
  void Journal(bool faulted, uint64_t writeErrors);
  // The exposition text.
  std::string Render() const;

 private:
  static constexpr std::array<double, 11> kBuckets = {
      0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5};
  struct Histogram {
    std::array<uint64_t, kBuckets.size()> counts{};
    uint64_t count = 0;
    double sum = 0;
  };
  mutable std::mutex mutex_;
  std::map<std::string, uint64_t> sales_;
  uint64_t chargedYen_ = 0, insertedYen_ = 0, paidYen_ = 0;
  std::map<uint16_t, uint64_t> faults_;
  uint64_t linkErrors_ = 0;
  std::map<std::string, Histogram> exchanges_;
  std::array<int, 5> stock_{};
  bool stockKnown_ = false;
  std::array<std::pair<uint32_t, uint32_t>, 5> marks_{};
  uint32_t largestChange_ = 0;
  bool up_ = false;
  size_t incidents_ = 0;
  std::map<unsigned, uint64_t> http_;
  bool journalFaulted_ = false;
  uint64_t journalErrors_ = 0;
};

}  // namespace tavod

#endif  // TAVOD_METRICS_H
