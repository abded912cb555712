#include "stock.h"

#include <charconv>
#include <sstream>

#include "journal.h"
#include "money.h"
#include "tavoctl_change.h"

namespace tavod {
namespace json = boost::json;
namespace {

// TAVO_PayOut takes at most this much in one call.
constexpr uint32_t kMostPayout = 65535;

bool Number(std::string_view text, uint32_t *out) {
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && p == text.data() + text.size();
}

}  // namespace

StockMarks DefaultStockMarks() {
  // Coins kept between a morning's worth of change and what the tubes
  // hold comfortably; notes are paid out only as change of 1000s.
  return {StockMark{20, 80}, StockMark{20, 80}, StockMark{20, 80},
          StockMark{10, 60}, StockMark{5, 40}};
}

bool ParseStockMarks(const std::string &text, StockMarks *marks,
                     std::string *error) {
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    size_t a = item.find(':'), b = item.rfind(':');
    uint32_t value = 0, low = 0, full = 0;
    if (a == std::string::npos || a == b ||
        !Number(std::string_view(item).substr(0, a), &value) ||
        !Number(std::string_view(item).substr(a + 1, b - a - 1), &low) ||
        !Number(std::string_view(item).substr(b + 1), &full)) {
      *error = "\"" + item + "\" is not value:low:full";
      return false;
    }
    int k = 0;
    while (k < 5 && kValues[k] != value) ++k;
    if (k == 5) {
      *error = "no denomination " + std::to_string(value);
      return false;
    }
    if (low > full) {
      *error = "the low mark of " + std::to_string(value) +
               " is above its full mark";
      return false;
    }
    (*marks)[k] = StockMark{low, full};
  }
  return true;
}

uint32_t LargestChange(const TavoData &units) {
  uint32_t stock[5];
  StockCounts(units, stock);
  uint64_t total = 0;
  for (int k = 0; k < 5; ++k) total += uint64_t(stock[k]) * kValues[k];
  uint32_t limit =
      static_cast<uint32_t>(std::min<uint64_t>(total, kMostPayout));
  return tavoctl_change_largest(&units, limit);
}

StockWatch::StockWatch(const StockMarks &marks, Metrics &metrics,
                       EventSink &events)
    : marks_(marks), metrics_(metrics), events_(events) {
  std::array<std::pair<uint32_t, uint32_t>, 5> m;
  for (int k = 0; k < 5; ++k) m[k] = {marks_[k].low, marks_[k].full};
  metrics_.StockMarks(m);
}

const char *StockWatch::Level(int k, uint32_t count) const {
  if (count < marks_[k].low) return "low";
  if (count >= marks_[k].full) return "full";
  return "ok";
}

void StockWatch::Update(const TavoData &units) {
  uint32_t stock[5];
  StockCounts(units, stock);
  bool changed = !known_;
  for (int k = 0; k < 5; ++k) changed = changed || stock[k] != counts_[k];
  if (!changed) return;
  for (int k = 0; k < 5; ++k) {
    const char *level = Level(k, stock[k]);
    // The first reading sets the levels; only a crossing is an event.
    if (known_ && std::string_view(level) != levels_[k]) {
      events_("stock", json::object{{"value", kValues[k]},
                                    {"count", stock[k]},
                                    {"level", level},
                                    {"previous", levels_[k]}});
    }
    levels_[k] = level;
    counts_[k] = stock[k];
  }
  known_ = true;
  updatedMs_ = NowMs();
  metrics_.LargestChange(LargestChange(units));
}

json::object StockWatch::View(const TavoData &units) const {
  uint32_t stock[5];
  StockCounts(units, stock);
  json::array denominations;
  uint64_t total = 0;
  for (int k = 0; k < 5; ++k) {
    total += uint64_t(stock[k]) * kValues[k];
    denominations.push_back(json::object{{"value", kValues[k]},
                                         {"count", stock[k]},
                                         {"low", marks_[k].low},
                                         {"full", marks_[k].full},
                                         {"level", Level(k, stock[k])}});
  }
  return json::object{{"denominations", std::move(denominations)},
                      {"largest_change", LargestChange(units)},
                      {"total", total},
                      {"updated_ms", updatedMs_}};
}

}  // namespace tavod
