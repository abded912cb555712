#include "event_log.h"

#include <random>

#include "journal.h"

namespace tavod {
namespace {

constexpr size_t kEventsKept = 1000;

std::string RandomHex(size_t bytes) {
  std::random_device rd;
  std::string out;
  static const char *kHex = "0123456789abcdef";
  for (size_t i = 0; i < bytes; ++i) {
    auto b = static_cast<unsigned>(rd() & 0xFF);
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace

EventLog::EventLog() : boot_(RandomHex(8)) {}

void EventLog::Add(const std::string &type, boost::json::object data) {
  boost::json::object e;
  e["seq"] = nextSeq_;
  e["type"] = type;
  e["time_ms"] = NowMs();
  e["data"] = std::move(data);
  kept_.emplace_back(nextSeq_++, boost::json::serialize(e));
  if (kept_.size() > kEventsKept) kept_.pop_front();
  for (boost::asio::steady_timer *t : waiting_) t->cancel();
}

}  // namespace tavod
