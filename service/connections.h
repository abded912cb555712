// The open connections, oldest first. When they reach the limit less the
// operator's reserve, a new one closes the oldest that waits idle for a
// request and did not come with the operator's token: connections that
// never authenticate cannot shut the operator (or /healthz) out, and the
// service never runs out of file descriptors.
#ifndef TAVOD_CONNECTIONS_H
#define TAVOD_CONNECTIONS_H

#include <list>

#include "auth.h"
#include "http_common.h"

namespace tavod {

class Connections {
 public:
  struct Conn {
    tcp::socket *socket = nullptr;
    Role role = Role::kNone;
    bool idle = true;  // waiting for a request
    bool webSocket = false;
  };
  using Handle = std::list<Conn>::iterator;

  explicit Connections(net::io_context &io) : slotFreed(io) {}

  // Registers a connection for as long as its session lives.
  class Guard {
   public:
    Guard(Connections &c, tcp::socket &s)
        : it(c.list_.insert(c.list_.end(), Conn{&s})), c_(c) {}
    ~Guard() {
      c_.list_.erase(it);
      c_.slotFreed.cancel();
    }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
    const Handle it;

   private:
    Connections &c_;
  };

  // Closes the oldest idle connection of a non-operator; false when none.
  bool Evict() {
    for (Role role : {Role::kNone, Role::kMetrics, Role::kApp}) {
      for (Conn &c : list_) {
        if (c.role == role && c.idle && !c.webSocket) {
          boost::system::error_code ec;
          c.socket->close(ec);
          c.idle = false;  // going: its session removes it
          return true;
        }
      }
    }
    return false;
  }
  size_t Count() const { return list_.size(); }

  size_t max = 256;
  size_t operatorReserve = 8;
  // Cancelled when a connection ends.
  net::steady_timer slotFreed;

 private:
  std::list<Conn> list_;
};

}  // namespace tavod

#endif  // TAVOD_CONNECTIONS_H
