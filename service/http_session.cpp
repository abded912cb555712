#include "http_session.h"

#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>

#include "auth.h"
#include "routes.h"
#include "websocket_session.h"

// GCC 12 at -O2 takes the coroutine frame that Asio allocates with its own
// operator new (inlined here) for one freed by another, and warns; the two
// are Asio's pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace tavod {
using net::use_awaitable;

namespace {

constexpr auto kReadTimeout = std::chrono::seconds(30);
// Request targets longer than this get 414; the whole header (request line
// and fields) is limited to kMaxHeader, beyond which fields get 431.
constexpr size_t kMaxTarget = 2048;
constexpr size_t kMaxHeader = 8192;

Answer TargetTooLong() {
  return Problem(
      414, "uri-too-long", "The request target is too long",
      "targets are limited to " + std::to_string(kMaxTarget) + " bytes");
}

// 414 for a request line too long, 431 for header fields too large, 413
// for a body. The parser has taken the request line in when only the
// fields went past the limit.
Response TooLarge(std::string_view target, bool body, size_t maxBody) {
  Request shell;
  shell.version(11);
  Answer a;
  if (body) {
    a = Problem(413, "too-large", "The request body is too large",
                "bodies are limited to " + std::to_string(maxBody) + " bytes");
  } else if (target.empty() || target.size() > kMaxTarget) {
    a = TargetTooLong();
  } else {
    a = Problem(
        431, "header-too-large", "The header fields are too large",
        "the header is limited to " + std::to_string(kMaxHeader) + " bytes");
  }
  Response r = MakeResponse(shell, a);
  r.keep_alive(false);
  return r;
}

}  // namespace

template <typename Stream>
net::awaitable<void> HttpSession(std::shared_ptr<ServerState> s,
                                 Stream stream) {
  Connections::Guard guard(s->conns, beast::get_lowest_layer(stream).socket());
  beast::flat_buffer buffer;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(kMaxHeader);
    parser.body_limit(s->config.maxBody);
    beast::get_lowest_layer(stream).expires_after(kReadTimeout);
    boost::system::error_code ec;
    guard.it->idle = true;
    co_await http::async_read(stream, buffer, parser,
                              net::redirect_error(use_awaitable, ec));
    guard.it->idle = false;
    if (ec == http::error::body_limit || ec == http::error::header_limit) {
      Response r = TooLarge(parser.get().target(),
                            ec == http::error::body_limit, s->config.maxBody);
      s->metrics.Http(r.result_int());
      co_await http::async_write(stream, r,
                                 net::redirect_error(use_awaitable, ec));
      break;
    }
    if (ec) break;
    Request req = parser.release();
    guard.it->role = RoleOf(req, s->config);
    std::optional<Answer> refused =
        CheckSite(req, s->config, s->tls != nullptr, s->Port());
    if (!refused && req.target().size() > kMaxTarget) refused = TargetTooLong();
    if (refused) {
      Response r = MakeResponse(req, *refused);
      r.keep_alive(false);
      s->metrics.Http(r.result_int());
      co_await http::async_write(stream, r,
                                 net::redirect_error(use_awaitable, ec));
      break;
    }
    bool events = SplitTarget(req.target()).path == "/v1/events";
    if (beast::websocket::is_upgrade(req)) {
      if (events) {
        co_await WebSocketSession(s, stream, std::move(req), guard.it);
        co_return;
      }
      Response r = MakeResponse(req, NotFound(std::string(req.target())));
      r.keep_alive(false);
      co_await http::async_write(stream, r,
                                 net::redirect_error(use_awaitable, ec));
      break;
    }
    // HEAD is answered as GET, with the same header and no body.
    bool head = req.method() == http::verb::head;
    if (head) req.method(http::verb::get);
    Response res;
    if (events) {
      res = MakeResponse(req,
                         Problem(426, "upgrade-required", "This is a WebSocket",
                                 "open /v1/events as a WebSocket"));
      res.set(http::field::upgrade, "websocket");
    } else {
      try {
        res = co_await Dispatch(*s, req);
      } catch (const std::exception &e) {
        res = MakeResponse(
            req, Problem(500, "internal", "Internal error", e.what()));
      }
    }
    s->metrics.Http(res.result_int());
    bool keep = res.keep_alive();
    if (head) {
      http::response<http::empty_body> bare{std::move(res.base())};
      co_await http::async_write(stream, bare,
                                 net::redirect_error(use_awaitable, ec));
    } else {
      co_await http::async_write(stream, res,
                                 net::redirect_error(use_awaitable, ec));
    }
    if (ec || !keep) break;
  }
  boost::system::error_code ignored;
  beast::get_lowest_layer(stream).socket().shutdown(tcp::socket::shutdown_send,
                                                    ignored);
}

template net::awaitable<void> HttpSession(std::shared_ptr<ServerState>,
                                          beast::tcp_stream);
template net::awaitable<void> HttpSession(std::shared_ptr<ServerState>,
                                          beast::ssl_stream<beast::tcp_stream>);

}  // namespace tavod
