#include "listener.h"

#include <sys/resource.h>

#include <boost/beast/ssl.hpp>

#include "http_session.h"

namespace tavod {
namespace ssl = net::ssl;
using net::use_awaitable;

namespace {

constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
// File descriptors the service needs besides its connections: the journal
// and its log, the unit's link, the reserve, stdio, the event loop's own.
constexpr size_t kFilesBesideConnections = 32;

net::awaitable<void> Accept(std::shared_ptr<ServerState> s) {
  Connections &conns = s->conns;
  auto pause = std::chrono::milliseconds(10);
  for (;;) {
    // At the limit less the operator's reserve a newcomer takes the place
    // of the oldest idle connection of anyone else; at the limit itself,
    // with none to close, the service waits for one to end.
    while (conns.Count() >= conns.max - conns.operatorReserve &&
           !conns.Evict() && conns.Count() >= conns.max) {
      conns.slotFreed.expires_after(std::chrono::seconds(1));
      boost::system::error_code wec;
      co_await conns.slotFreed.async_wait(
          net::redirect_error(use_awaitable, wec));
    }
    boost::system::error_code ec;
    tcp::socket socket = co_await s->acceptor.async_accept(
        net::redirect_error(use_awaitable, ec));
    if (ec) {
      if (ec == net::error::operation_aborted) co_return;
      // Out of file descriptors or buffers: the connection stays in the
      // backlog. Free a place and back off instead of retrying at once.
      conns.Evict();
      net::steady_timer t(s->io, pause);
      boost::system::error_code wec;
      co_await t.async_wait(net::redirect_error(use_awaitable, wec));
      pause = std::min<std::chrono::milliseconds>(pause * 2,
                                                  std::chrono::seconds(1));
      continue;
    }
    pause = std::chrono::milliseconds(10);
    beast::tcp_stream stream(std::move(socket));
    if (s->tls) {
      net::co_spawn(
          s->io,
          [s, stream = std::move(stream)]() mutable -> net::awaitable<void> {
            beast::ssl_stream<beast::tcp_stream> ts(std::move(stream), *s->tls);
            beast::get_lowest_layer(ts).expires_after(kHandshakeTimeout);
            boost::system::error_code hec;
            co_await ts.async_handshake(
                ssl::stream_base::server,
                net::redirect_error(use_awaitable, hec));
            if (!hec) co_await HttpSession(s, std::move(ts));
          },
          net::detached);
    } else {
      net::co_spawn(s->io, HttpSession(s, std::move(stream)), net::detached);
    }
  }
}

}  // namespace

bool Listen(const std::shared_ptr<ServerState> &s, std::string *error) {
  const ServerConfig &config = s->config;
  bool tls = !config.tlsCert.empty() || !config.tlsKey.empty();
  if (!IsLoopback(config.address) && !tls) {
    *error = "refusing to listen on " + config.address +
             " without TLS: money and tokens would cross the network in "
             "clear; give --tls-cert and --tls-key, or listen on 127.0.0.1";
    return false;
  }
  try {
    if (tls) {
      s->tls = std::make_unique<ssl::context>(ssl::context::tls_server);
      s->tls->set_options(ssl::context::default_workarounds |
                          ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                          ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
      s->tls->use_certificate_chain_file(config.tlsCert);
      s->tls->use_private_key_file(config.tlsKey, ssl::context::pem);
    }
    std::string address =
        config.address == "localhost" ? "127.0.0.1" : config.address;
    tcp::endpoint ep(net::ip::make_address(address), config.port);
    s->acceptor.open(ep.protocol());
    s->acceptor.set_option(net::socket_base::reuse_address(true));
    s->acceptor.bind(ep);
    s->acceptor.listen();
    // Connections within the open-file limit, an eighth of them (at least
    // two) kept for the operator.
    rlimit files{};
    size_t fit = config.maxConnections;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 &&
        files.rlim_cur != RLIM_INFINITY) {
      size_t room = files.rlim_cur > kFilesBesideConnections + 8
                        ? files.rlim_cur - kFilesBesideConnections
                        : 8;
      fit = std::min(fit, room);
    }
    s->conns.max = fit;
    s->conns.operatorReserve = std::max<size_t>(2, fit / 8);
  } catch (const std::exception &e) {
    *error = "cannot listen on " + config.address + ":" +
             std::to_string(config.port) + ": " + e.what();
    return false;
  }
  net::co_spawn(s->io, Accept(s), net::detached);
  return true;
}

}  // namespace tavod
