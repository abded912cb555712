#include "websocket_session.h"

#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <charconv>
#include <sstream>

#include "auth.h"

namespace tavod {
namespace json = boost::json;
namespace websocket = beast::websocket;
using net::use_awaitable;

namespace {

template <typename Stream>
net::awaitable<void> Events(std::shared_ptr<ServerState> s,
                            std::shared_ptr<websocket::stream<Stream>> ws,
                            uint64_t since, bool sinceGiven) {
  EventLog &log = s->events;
  ++s->webSockets;
  auto closed = std::make_shared<bool>(false);
  net::steady_timer wake(s->io);
  // Reads what the client sends (nothing is expected) to notice it going.
  net::co_spawn(
      s->io,
      [ws, closed, &wake]() -> net::awaitable<void> {
        beast::flat_buffer b;
        boost::system::error_code ec;
        for (;;) {
          co_await ws->async_read(b, net::redirect_error(use_awaitable, ec));
          if (ec) break;
          b.consume(b.size());
        }
        *closed = true;
        wake.cancel();
      },
      net::detached);
  uint64_t latest = log.Latest();
  // A sequence number from before a restart of the service is unknown
  // here: such a client gets everything kept.
  uint64_t cursor = !sinceGiven ? latest : since > latest ? 0 : since;
  boost::system::error_code ec;
  json::object hello;
  hello["type"] = "hello";
  hello["boot"] = log.Boot();
  hello["seq"] = latest;
  hello["time_ms"] = NowMs();
  ws->text(true);
  co_await ws->async_write(net::buffer(json::serialize(hello)),
                           net::redirect_error(use_awaitable, ec));
  const auto &events = log.Kept();
  while (!ec && !*closed) {
    if (!events.empty() && cursor + 1 < events.front().first) {
      json::object gap;
      gap["type"] = "gap";
      gap["data"] =
          json::object{{"from", cursor + 1}, {"to", events.front().first - 1}};
      co_await ws->async_write(net::buffer(json::serialize(gap)),
                               net::redirect_error(use_awaitable, ec));
      cursor = events.front().first - 1;
    }
    // (Events kept may be dropped while a write waits: the gap check
    // above runs again before an index could go below the oldest.)
    while (!ec && !events.empty() && cursor < events.back().first &&
           cursor + 1 >= events.front().first) {
      size_t index = cursor + 1 - events.front().first;
      std::string text = events[index].second;
      cursor = events[index].first;
      co_await ws->async_write(net::buffer(text),
                               net::redirect_error(use_awaitable, ec));
    }
    if (ec || *closed) break;
    if (!events.empty() && cursor < events.back().first) continue;
    wake.expires_at(net::steady_timer::time_point::max());
    log.Wake(&wake);
    boost::system::error_code waitEc;
    co_await wake.async_wait(net::redirect_error(use_awaitable, waitEc));
    log.Forget(&wake);
  }
  log.Forget(&wake);
  if (!*closed) {
    co_await ws->async_close(websocket::close_code::normal,
                             net::redirect_error(use_awaitable, ec));
  }
  // Let the reader finish before the timer it refers to goes.
  while (!*closed) {
    beast::get_lowest_layer(*ws).socket().close(ec);
    net::steady_timer t(s->io, std::chrono::milliseconds(5));
    co_await t.async_wait(net::redirect_error(use_awaitable, ec));
  }
  --s->webSockets;
}

// A refusal written as the response to the upgrade, the connection closed.
template <typename Stream>
net::awaitable<void> Refuse(Stream &stream, const Request &req,
                            const Answer &a) {
  Response r = MakeResponse(req, a);
  r.keep_alive(false);
  boost::system::error_code ec;
  co_await http::async_write(stream, r, net::redirect_error(use_awaitable, ec));
}

}  // namespace

template <typename Stream>
net::awaitable<bool> WebSocketSession(std::shared_ptr<ServerState> s,
                                      Stream &stream, Request req,
                                      Connections::Handle conn) {
  Target t = SplitTarget(req.target());
  // Browsers cannot set headers on a WebSocket: they offer the token as
  // a subprotocol "bearer.TOKEN" beside "tavod.v1".
  std::string offered(req[http::field::sec_websocket_protocol]);
  if (req[http::field::authorization].empty()) {
    std::istringstream list(offered);
    std::string item;
    while (std::getline(list, item, ',')) {
      item.erase(0, item.find_first_not_of(' '));
      if (item.rfind("bearer.", 0) == 0) {
        req.set(http::field::authorization, "Bearer " + item.substr(7));
      }
    }
  }
  const ServerConfig &config = s->config;
  std::optional<Answer> refused = Authorize(req, Role::kApp, config);
  // The last eighth of the places is kept for the operator token, so
  // that application clients cannot take them all.
  int places = config.maxWebSockets;
  if (RoleOf(req, config) != Role::kOperator) {
    places -= config.maxWebSockets / 8;
  }
  if (!refused && s->webSockets >= places) {
    refused = Problem(429, "too-many-clients", "Too many event clients",
                      "at most " + std::to_string(places) +
                          " WebSocket clients with this token at once");
  }
  if (refused) {
    s->metrics.Http(refused->status);
    co_await Refuse(stream, req, *refused);
    co_return false;
  }
  uint64_t since = 0;
  bool sinceGiven = t.query.count("since") > 0;
  if (sinceGiven) {
    const std::string &v = t.query["since"];
    auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), since);
    if (ec != std::errc() || ptr != v.data() + v.size()) {
      co_await Refuse(
          stream, req,
          Problem(400, "invalid-query", "since must be a sequence number",
                  "use /v1/events?since=SEQ"));
      co_return false;
    }
  }
  s->metrics.Http(101);
  beast::get_lowest_layer(stream).expires_never();
  auto ws = std::make_shared<websocket::stream<Stream>>(std::move(stream));
  conn->socket = &beast::get_lowest_layer(*ws).socket();
  conn->webSocket = true;
  ws->set_option(
      websocket::stream_base::timeout::suggested(beast::role_type::server));
  ws->read_message_max(4096);
  bool wantsProtocol = offered.find("tavod.v1") != std::string::npos;
  ws->set_option(websocket::stream_base::decorator(
      [wantsProtocol](websocket::response_type &res) {
        res.set(http::field::server, "tavod");
        if (wantsProtocol) {
          res.set(http::field::sec_websocket_protocol, "tavod.v1");
        }
      }));
  boost::system::error_code ec;
  co_await ws->async_accept(req, net::redirect_error(use_awaitable, ec));
  if (ec) co_return true;
  co_await Events(s, ws, since, sinceGiven);
  co_return true;
}

template net::awaitable<bool> WebSocketSession(std::shared_ptr<ServerState>,
                                               beast::tcp_stream &, Request,
                                               Connections::Handle);
template net::awaitable<bool> WebSocketSession(
    std::shared_ptr<ServerState>, beast::ssl_stream<beast::tcp_stream> &,
    Request, Connections::Handle);

}  // namespace tavod
