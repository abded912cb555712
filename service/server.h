// The HTTP and WebSocket side: a thin layer that checks the token and the
// input, hands each request to the worker as a job, and turns the answer
// into a response. It runs on its own thread (one io_context); nothing here
// touches the unit. Its parts: the listener, the HTTP session, the routes,
// the WebSocket session, the event log, the tokens (auth), the body checks,
// sharing one ServerState.
#ifndef TAVOD_SERVER_H
#define TAVOD_SERVER_H

#include <boost/asio/io_context.hpp>
#include <boost/json.hpp>
#include <memory>
#include <string>
#include <vector>

#include "metrics.h"
#include "worker.h"

namespace tavod {

struct ServerConfig {
  std::string address = "127.0.0.1";
  unsigned short port = 8080;
  std::string token;          // required on every request but the health
  std::string operatorToken;  // payouts, resets, resolving incidents
  std::string metricsToken;   // read-only: /metrics and /healthz
  // Names the Host header may carry besides the loopback ones (the
  // certificate's name when listening with TLS).
  std::vector<std::string> hostNames;
  std::string webRoot;  // the operator page's files
  std::string openapiPath;
  size_t maxBody = 8192;
  int maxWebSockets = 64;
  int maxConnections = 256;
  std::string tlsCert, tlsKey;  // PEM files; both or neither
};

class Server {
 public:
  Server(boost::asio::io_context &io, boost::asio::io_context &workerIo,
         Worker &worker, Metrics &metrics, ServerConfig config);
  ~Server();
  // Binds and starts accepting; false with the reason.
  bool Listen(std::string *error);
  unsigned short Port() const;
  // Safe from any thread: queues an event for the WebSocket clients.
  void Publish(const std::string &type, boost::json::object data);

 private:
  std::shared_ptr<struct ServerState> state_;
};

// True for 127.0.0.0/8, ::1 and "localhost".
bool IsLoopback(const std::string &address);

}  // namespace tavod

#endif  // TAVOD_SERVER_H
