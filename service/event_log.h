// The event log: every event the worker publishes, numbered, the last
// thousand kept for WebSocket clients that come back and ask what they
// missed (from a sequence number of this boot). Used on the server's
// thread only.
#ifndef TAVOD_EVENT_LOG_H
#define TAVOD_EVENT_LOG_H

#include <boost/asio/steady_timer.hpp>
#include <boost/json.hpp>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <utility>

namespace tavod {

class EventLog {
 public:
  EventLog();
  // Numbers the event, keeps it and wakes the clients waiting.
  void Add(const std::string &type, boost::json::object data);
  // The number of the last event (0 before the first).
  uint64_t Latest() const { return nextSeq_ - 1; }
  // Names this run of the service: sequence numbers start again with it.
  const std::string &Boot() const { return boot_; }
  // The events kept, oldest first: sequence number and JSON text.
  const std::deque<std::pair<uint64_t, std::string>> &Kept() const {
    return kept_;
  }
  // A client's timer, cancelled by the next event.
  void Wake(boost::asio::steady_timer *timer) { waiting_.insert(timer); }
  void Forget(boost::asio::steady_timer *timer) { waiting_.erase(timer); }

 private:
  std::deque<std::pair<uint64_t, std::string>> kept_;
  uint64_t nextSeq_ = 1;
  std::string boot_;
  std::set<boost::asio::steady_timer *> waiting_;
};

}  // namespace tavod

#endif  // TAVOD_EVENT_LOG_H
