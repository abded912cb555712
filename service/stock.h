// The stock at a glance: per denomination the count, a low and a full mark
// (set with --stock-marks) and its level between them, and the largest
// change the stock pays exactly now, taken from the library's own change
// rule (tavoctl_change.h), so that the service never disagrees with what a
// charge will allow. A level crossing a mark is told as a `stock` event;
// the counts, the marks and the largest change are metrics.
#ifndef TAVOD_STOCK_H
#define TAVOD_STOCK_H

#include <array>
#include <boost/json.hpp>
#include <cstdint>
#include <string>

#include "metrics.h"
#include "tavoctl.h"
#include "unit_poller.h"

namespace tavod {

struct StockMark {
  uint32_t low = 0;   // below it the level is "low"
  uint32_t full = 0;  // from it the level is "full"
};
// 10, 50, 100, 500, 1000.
using StockMarks = std::array<StockMark, 5>;

StockMarks DefaultStockMarks();
// "10:20:80,50:20:80,..." (value:low:full, any of the five, in any order);
// false with the reason.
bool ParseStockMarks(const std::string &text, StockMarks *marks,
                     std::string *error);

// The largest amount the stock pays exactly, up to what one payout can be.
uint32_t LargestChange(const TavoData &units);

class StockWatch {
 public:
  StockWatch(const StockMarks &marks, Metrics &metrics, EventSink &events);

  // The units were read: levels, events and metrics renewed.
  void Update(const TavoData &units);
  boost::json::object View(const TavoData &units) const;

 private:
  const char *Level(int k, uint32_t count) const;

  StockMarks marks_;
  Metrics &metrics_;
  EventSink &events_;
  bool known_ = false;
  uint32_t counts_[5] = {0, 0, 0, 0, 0};
  const char *levels_[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  int64_t updatedMs_ = 0;
};

}  // namespace tavod

#endif  // TAVOD_STOCK_H
