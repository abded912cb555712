#include "metrics.h"

#include <cstdio>
#include <sstream>

#include "codes.h"

namespace tavod {
namespace {

constexpr const char *kDenominations[5] = {"10", "50", "100", "500", "1000"};

void Head(std::ostringstream &o, const char *name, const char *type,
          const char *help) {
  o << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type
    << '\n';
}

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

}  // namespace

void Metrics::SaleFinished(const std::string &outcome, uint32_t charged,
                           uint32_t inserted) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++sales_[outcome];
  chargedYen_ += charged;
  insertedYen_ += inserted;
}

void Metrics::PaidOut(uint32_t amount) {
  std::lock_guard<std::mutex> lock(mutex_);
  paidYen_ += amount;
}

void Metrics::Fault(uint16_t code, bool linkError) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++faults_[code];
  if (linkError) ++linkErrors_;
}

void Metrics::Exchange(const char *exportName, double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  Histogram &h = exchanges_[exportName];
  for (size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) ++h.counts[i];
  }
  ++h.count;
  h.sum += seconds;
}

void Metrics::Stock(const std::array<int, 5> &stock) {
  std::lock_guard<std::mutex> lock(mutex_);
  stock_ = stock;
  stockKnown_ = true;
}

void Metrics::StockMarks(
    const std::array<std::pair<uint32_t, uint32_t>, 5> &marks) {
  std::lock_guard<std::mutex> lock(mutex_);
  marks_ = marks;
}

void Metrics::LargestChange(uint32_t yen) {
  std::lock_guard<std::mutex> lock(mutex_);
  largestChange_ = yen;
}

void Metrics::UnitUp(bool up) {
  std::lock_guard<std::mutex> lock(mutex_);
  up_ = up;
}

void Metrics::OpenIncidents(size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  incidents_ = count;
}

void Metrics::Http(unsigned status) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++http_[status];
}

void Metrics::Journal(bool faulted, uint64_t writeErrors) {
  std::lock_guard<std::mutex> lock(mutex_);
  journalFaulted_ = faulted;
  journalErrors_ = writeErrors;
}

std::string Metrics::Render() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream o;
  Head(o, "tavo_unit_up", "gauge", "1 while the payment unit is open");
  o << "tavo_unit_up " << (up_ ? 1 : 0) << '\n';
  Head(o, "tavo_sales_total", "counter", "Sales finished, by outcome");
  for (const char *outcome : {"done", "cancelled", "failed"}) {
    auto it = sales_.find(outcome);
    o << "tavo_sales_total{outcome=\"" << outcome << "\"} "
      << (it == sales_.end() ? 0 : it->second) << '\n';
  }
  Head(o, "tavo_charged_yen_total", "counter", "Money taken for sales");
  o << "tavo_charged_yen_total " << chargedYen_ << '\n';
  Head(o, "tavo_inserted_yen_total", "counter",
       "Money customers inserted during sales");
  o << "tavo_inserted_yen_total " << insertedYen_ << '\n';
  Head(o, "tavo_paid_out_yen_total", "counter",
       "Money paid out: change, pay-backs and operator payouts");
  o << "tavo_paid_out_yen_total " << paidYen_ << '\n';
  if (stockKnown_) {
    Head(o, "tavo_coin_stock", "gauge", "Coins available for payout");
    for (int i = 0; i < 4; ++i) {
      o << "tavo_coin_stock{denomination=\"" << kDenominations[i] << "\"} "
        << stock_[i] << '\n';
    }
    Head(o, "tavo_note_stock", "gauge", "Notes available for payout");
    o << "tavo_note_stock{denomination=\"1000\"} " << stock_[4] << '\n';
    Head(o, "tavod_stock_count", "gauge",
         "Coins and notes available for payout, by value");
    for (int i = 0; i < 5; ++i) {
      o << "tavod_stock_count{value=\"" << kDenominations[i] << "\"} "
        << stock_[i] << '\n';
    }
    Head(o, "tavod_largest_change_yen", "gauge",
         "The largest amount the stock pays exactly");
    o << "tavod_largest_change_yen " << largestChange_ << '\n';
  }
  Head(o, "tavod_stock_low_mark", "gauge",
       "Below this count a denomination's stock is low");
  for (int i = 0; i < 5; ++i) {
    o << "tavod_stock_low_mark{value=\"" << kDenominations[i] << "\"} "
      << marks_[i].first << '\n';
  }
  Head(o, "tavod_stock_full_mark", "gauge",
       "From this count a denomination's stock is full");
  for (int i = 0; i < 5; ++i) {
    o << "tavod_stock_full_mark{value=\"" << kDenominations[i] << "\"} "
      << marks_[i].second << '\n';
  }
  Head(o, "tavo_faults_total", "counter",
       "Failure codes returned by the library, by code");
  for (const auto &[code, n] : faults_) {
    o << "tavo_faults_total{code=\"" << HexCode(code) << "\"} " << n << '\n';
  }
  Head(o, "tavo_link_errors_total", "counter",
       "Exchanges with the unit that failed (status refresh failures)");
  o << "tavo_link_errors_total " << linkErrors_ << '\n';
  Head(o, "tavo_open_incidents", "gauge",
       "Incidents that need a person (money possibly owed)");
  o << "tavo_open_incidents " << incidents_ << '\n';
  Head(o, "tavod_journal_fault", "gauge",
       "1 while the journal cannot be written or its disk reserve is spent");
  o << "tavod_journal_fault " << (journalFaulted_ ? 1 : 0) << '\n';
  Head(o, "tavod_journal_write_errors_total", "counter",
       "Journal writes that failed");
  o << "tavod_journal_write_errors_total " << journalErrors_ << '\n';
  Head(o, "tavo_exchange_seconds", "histogram",
       "Time of one library call, by export");
  for (const auto &[name, h] : exchanges_) {
    for (size_t i = 0; i < kBuckets.size(); ++i) {
      o << "tavo_exchange_seconds_bucket{export=\"" << name << "\",le=\""
        << Number(kBuckets[i]) << "\"} " << h.counts[i] << '\n';
    }
    o << "tavo_exchange_seconds_bucket{export=\"" << name << "\",le=\"+Inf\"} "
      << h.count << '\n';
    o << "tavo_exchange_seconds_sum{export=\"" << name << "\"} "
      << Number(h.sum) << '\n';
    o << "tavo_exchange_seconds_count{export=\"" << name << "\"} " << h.count
      << '\n';
  }
  Head(o, "tavod_http_responses_total", "counter", "HTTP responses, by status");
  for (const auto &[status, n] : http_) {
    o << "tavod_http_responses_total{status=\"" << status << "\"} " << n
      << '\n';
  }
  return o.str();
}

}  // namespace tavod
