// What the HTTP side's parts share (as in Beast's chat-multi example): the
// configuration, the listening socket and TLS context, the worker and the
// figures, the event log and the connections. Used on the server's thread.
#ifndef TAVOD_SERVER_STATE_H
#define TAVOD_SERVER_STATE_H

#include <boost/asio/ssl.hpp>
#include <memory>

#include "connections.h"
#include "event_log.h"
#include "http_common.h"
#include "server.h"

namespace tavod {

struct ServerState : std::enable_shared_from_this<ServerState> {
  ServerState(net::io_context &i, net::io_context &w, Worker &wk, Metrics &m,
              ServerConfig c)
      : io(i),
        workerIo(w),
        worker(wk),
        metrics(m),
        config(std::move(c)),
        acceptor(i),
        conns(i) {}

  unsigned short Port() const { return acceptor.local_endpoint().port(); }

  // Runs a job on the worker's thread and resumes here with its answer.
  template <typename F>
  net::awaitable<Answer> OnWorker(F job) {
    co_return co_await net::async_initiate<decltype(net::use_awaitable),
                                           void(Answer)>(
        [this, job = std::move(job)](auto handler) mutable {
          net::post(workerIo, [job = std::move(job),
                               handler = std::move(handler)]() mutable {
            Answer a;
            try {
              a = job();
            } catch (const std::exception &e) {
              a = Problem(500, "internal", "Internal error", e.what());
            }
            auto ex = net::get_associated_executor(handler);
            net::post(
                ex, [a = std::move(a), handler = std::move(handler)]() mutable {
                  std::move(handler)(std::move(a));
                });
          });
        },
        net::use_awaitable);
  }

  net::io_context &io;
  net::io_context &workerIo;
  Worker &worker;
  Metrics &metrics;
  ServerConfig config;
  tcp::acceptor acceptor;
  std::unique_ptr<net::ssl::context> tls;
  EventLog events;
  Connections conns;
  int webSockets = 0;
};

}  // namespace tavod

#endif  // TAVOD_SERVER_STATE_H
