#include "server.h"

#include <sys/resource.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <cctype>
#include <charconv>
#include <deque>
#include <fstream>
#include <list>
#include <random>
#include <set>
#include <sstream>

namespace tavod {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
namespace json = boost::json;
using net::awaitable;
using net::use_awaitable;
using tcp = net::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

namespace {

constexpr size_t kEventsKept = 1000;
constexpr auto kReadTimeout = std::chrono::seconds(30);
// Request targets longer than this get 414; the whole header (request line
// and fields) is limited to kMaxHeader, beyond which fields get 431.
constexpr size_t kMaxTarget = 2048;
constexpr size_t kMaxHeader = 8192;
// File descriptors the service needs besides its connections: the journal
// and its log, the unit's link, the reserve, stdio, the event loop's own.
constexpr size_t kFilesBesideConnections = 32;

// Who a request's token says it comes from.
enum class Role { kNone, kMetrics, kApp, kOperator };

bool SameToken(const std::string &given, const std::string &expected) {
  // Constant time in the length of the expected token.
  if (expected.empty()) return false;
  unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < expected.size(); ++i) {
    diff |= static_cast<unsigned char>(expected[i] ^
                                       (i < given.size() ? given[i] : 0));
  }
  return diff == 0;
}

std::string ReadFile(const std::string &path, bool *ok) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  *ok = static_cast<bool>(f);
  return s.str();
}

// The path and the query of a request target, split.
struct Target {
  std::string path;
  std::map<std::string, std::string> query;
};

Target SplitTarget(std::string_view target) {
  Target t;
  size_t q = target.find('?');
  t.path = std::string(target.substr(0, q));
  if (q == std::string_view::npos) return t;
  std::string_view rest = target.substr(q + 1);
  while (!rest.empty()) {
    size_t amp = rest.find('&');
    std::string_view pair = rest.substr(0, amp);
    size_t eq = pair.find('=');
    t.query[std::string(pair.substr(0, eq))] =
        eq == std::string_view::npos ? "" : std::string(pair.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    rest = rest.substr(amp + 1);
  }
  return t;
}

// "/v1/sales/12/cancel" with prefix "/v1/sales/" gives id 12 and rest
// "/cancel".
bool PathId(const std::string &path, std::string_view prefix, int64_t *id,
            std::string *rest) {
  if (path.rfind(prefix, 0) != 0) return false;
  const char *begin = path.data() + prefix.size();
  const char *end = path.data() + path.size();
  auto [p, ec] = std::from_chars(begin, end, *id);
  if (ec != std::errc() || p == begin || *id <= 0) return false;
  *rest = std::string(p, end);
  return true;
}

// One field of a request body.
struct Field {
  const char *name;
  enum Kind { kInt, kBool, kString } kind;
  bool required;
  int64_t min = 0, max = 0, step = 1;     // integers
  std::vector<std::string> choices = {};  // strings
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) {
    v.remove_prefix(1);
  }
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) {
    v.remove_suffix(1);
  }
  return v;
}

// The media type of a Content-Type value: "application/json" for
// "Application/JSON; charset=utf-8".
bool IsJsonType(std::string_view contentType) {
  return EqualsNoCase(Trim(contentType.substr(0, contentType.find(';'))),
                      "application/json");
}

// Boost.JSON keeps the last of duplicate keys; a body that names a field
// twice is ambiguous (a proxy may have read the first) and is refused. This
// handler of Boost.JSON's own parser only watches the keys of each object.
struct DuplicateKeys {
  constexpr static std::size_t max_object_size = std::size_t(-1);
  constexpr static std::size_t max_array_size = std::size_t(-1);
  constexpr static std::size_t max_key_size = std::size_t(-1);
  constexpr static std::size_t max_string_size = std::size_t(-1);
  std::vector<std::set<std::string>> objects;
  std::string key;
  bool found = false;
  using ec_t = boost::system::error_code;
  bool on_document_begin(ec_t &) { return true; }
  bool on_document_end(ec_t &) { return true; }
  bool on_object_begin(ec_t &) {
    objects.emplace_back();
    return true;
  }
  bool on_object_end(std::size_t, ec_t &) {
    objects.pop_back();
    return true;
  }
  bool on_array_begin(ec_t &) { return true; }
  bool on_array_end(std::size_t, ec_t &) { return true; }
  bool on_key_part(std::string_view s, std::size_t, ec_t &) {
    key.append(s);
    return true;
  }
  bool on_key(std::string_view s, std::size_t, ec_t &) {
    key.append(s);
    found = found || !objects.back().insert(std::move(key)).second;
    key.clear();
    return true;
  }
  bool on_string_part(std::string_view, std::size_t, ec_t &) { return true; }
  bool on_string(std::string_view, std::size_t, ec_t &) { return true; }
  bool on_number_part(std::string_view, ec_t &) { return true; }
  bool on_int64(std::int64_t, std::string_view, ec_t &) { return true; }
  bool on_uint64(std::uint64_t, std::string_view, ec_t &) { return true; }
  bool on_double(double, std::string_view, ec_t &) { return true; }
  bool on_bool(bool, ec_t &) { return true; }
  bool on_null(ec_t &) { return true; }
  bool on_comment_part(std::string_view, ec_t &) { return true; }
  bool on_comment(std::string_view, ec_t &) { return true; }
};

bool HasDuplicateKeys(const std::string &text) {
  json::basic_parser<DuplicateKeys> p{json::parse_options{}};
  boost::system::error_code ec;
  p.write_some(false, text.data(), text.size(), ec);
  return !ec && p.handler().found;
}

// Checks the body against its fields; an answer when it is refused.
std::optional<Answer> ParseBody(const Request &req,
                                const std::vector<Field> &fields,
                                json::object *out) {
  if (req.body().empty()) {
    *out = {};
  } else {
    if (!IsJsonType(req[http::field::content_type])) {
      return Problem(415, "unsupported-media-type", "The body must be JSON",
                     "send Content-Type: application/json");
    }
    boost::system::error_code ec;
    json::value v = json::parse(req.body(), ec);
    if (ec) {
      return Problem(400, "malformed-json", "The body is not valid JSON",
                     ec.message());
    }
    if (HasDuplicateKeys(req.body())) {
      return Problem(400, "malformed-json", "The body names a field twice",
                     "each field may appear once");
    }
    if (!v.is_object()) {
      return Problem(400, "malformed-json", "The body must be a JSON object",
                     "expected an object such as {\"price\": 1200}");
    }
    *out = std::move(v.as_object());
  }
  for (const auto &[key, value] : *out) {
    bool known = false;
    for (const Field &f : fields) known = known || key == f.name;
    if (!known) {
      return Problem(422, "unknown-field", "The body has an unknown field",
                     "field \"" + std::string(key) + "\" is not accepted here");
    }
  }
  for (const Field &f : fields) {
    const json::value *v = out->if_contains(f.name);
    std::string name = f.name;
    if (!v) {
      if (f.required) {
        return Problem(422, "missing-field", "A required field is missing",
                       "field \"" + name + "\" is required");
      }
      continue;
    }
    if (f.kind == Field::kInt) {
      if (!v->is_int64() && !v->is_uint64()) {
        return Problem(422, "invalid-field", "A field has the wrong type",
                       "field \"" + name + "\" must be a whole number");
      }
      bool big = v->is_uint64() && v->as_uint64() > uint64_t(INT64_MAX);
      int64_t n = big ? INT64_MAX : v->to_number<int64_t>();
      if (n < f.min || n > f.max || (n - f.min) % f.step != 0) {
        std::string rule = "between " + std::to_string(f.min) + " and " +
                           std::to_string(f.max);
        if (f.step > 1) rule += ", a multiple of " + std::to_string(f.step);
        return Problem(422, "invalid-field", "A field is out of range",
                       "field \"" + name + "\" must be " + rule);
      }
    } else if (f.kind == Field::kBool) {
      if (!v->is_bool()) {
        return Problem(422, "invalid-field", "A field has the wrong type",
                       "field \"" + name + "\" must be true or false");
      }
    } else {
      if (!v->is_string() ||
          std::find(f.choices.begin(), f.choices.end(),
                    std::string(v->as_string())) == f.choices.end()) {
        std::string list;
        for (const std::string &c : f.choices) {
          list += (list.empty() ? "" : ", ") + c;
        }
        return Problem(422, "invalid-field", "A field has a wrong value",
                       "field \"" + name + "\" must be one of: " + list);
      }
    }
  }
  return std::nullopt;
}

int64_t IntField(const json::object &o, const char *name, int64_t fallback) {
  const json::value *v = o.if_contains(name);
  return v ? v->to_number<int64_t>() : fallback;
}

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

bool IsLoopback(const std::string &address) {
  if (address == "localhost") return true;
  boost::system::error_code ec;
  auto a = net::ip::make_address(address, ec);
  return !ec && a.is_loopback();
}

// ------------------------------------------------------------ the server

struct Server::Impl : std::enable_shared_from_this<Server::Impl> {
  net::io_context &io;
  net::io_context &workerIo;
  Worker &worker;
  Metrics &metrics;
  ServerConfig config;
  tcp::acceptor acceptor;
  std::unique_ptr<ssl::context> tls;
  // Events, kept for clients that come back and ask what they missed.
  std::deque<std::pair<uint64_t, std::string>> events;
  uint64_t nextSeq = 1;
  std::string boot = RandomHex(8);
  std::set<net::steady_timer *> waiting;
  int webSockets = 0;

  // Open connections, oldest first. When they reach the limit less the
  // operator's reserve, a new one closes the oldest that waits idle for a
  // request and did not come with the operator's token: connections that
  // never authenticate cannot shut the operator (or /healthz) out, and the
  // service never runs out of file descriptors.
  struct Conn {
    tcp::socket *socket = nullptr;
    Role role = Role::kNone;
    bool idle = true;  // waiting for a request
    bool webSocket = false;
  };
  std::list<Conn> conns;
  size_t maxConns = 256;
  size_t operatorReserve = 8;
  net::steady_timer slotFreed{io};

  // Closes the oldest idle connection of a non-operator; false when none.
  bool Evict() {
    for (Role role : {Role::kNone, Role::kMetrics, Role::kApp}) {
      for (Conn &c : conns) {
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

  // Registers a connection for as long as its session lives.
  struct ConnGuard {
    Impl &impl;
    std::list<Conn>::iterator it;
    ConnGuard(Impl &i, tcp::socket &s)
        : impl(i), it(i.conns.insert(i.conns.end(), Conn{&s})) {}
    ~ConnGuard() {
      impl.conns.erase(it);
      impl.slotFreed.cancel();
    }
  };
  Impl(net::io_context &i, net::io_context &w, Worker &wk, Metrics &m,
       ServerConfig c)
      : io(i),
        workerIo(w),
        worker(wk),
        metrics(m),
        config(std::move(c)),
        acceptor(i) {}

  void AddEvent(const std::string &type, json::object data) {
    json::object e;
    e["seq"] = nextSeq;
    e["type"] = type;
    e["time_ms"] = NowMs();
    e["data"] = std::move(data);
    events.emplace_back(nextSeq++, json::serialize(e));
    if (events.size() > kEventsKept) events.pop_front();
    for (net::steady_timer *t : waiting) t->cancel();
  }

  // Runs a job on the worker's thread and resumes here with its answer.
  template <typename F>
  awaitable<Answer> OnWorker(F job) {
    co_return co_await net::async_initiate<decltype(use_awaitable),
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
        use_awaitable);
  }

  Response Make(const Request &req, const Answer &a) {
    Response res{static_cast<http::status>(a.status), req.version()};
    res.set(http::field::server, "tavod");
    res.set("X-Content-Type-Options", "nosniff");
    if (!a.allow.empty()) res.set(http::field::allow, a.allow);
    res.set(http::field::content_type,
            a.problem ? "application/problem+json" : "application/json");
    res.set(http::field::cache_control, "no-store");
    res.keep_alive(req.keep_alive());
    res.body() = json::serialize(a.body);
    res.prepare_payload();
    return res;
  }

  Response Text(const Request &req, unsigned status, const std::string &type,
                std::string body) {
    Response res{static_cast<http::status>(status), req.version()};
    res.set(http::field::server, "tavod");
    res.set("X-Content-Type-Options", "nosniff");
    res.set(http::field::content_type, type);
    res.keep_alive(req.keep_alive());
    res.body() = std::move(body);
    res.prepare_payload();
    return res;
  }

  // The token of "Authorization: Bearer TOKEN" (the scheme in any case);
  // false when the header is missing or of another scheme.
  static bool BearerToken(const Request &req, std::string *token) {
    std::string_view header = Trim(req[http::field::authorization]);
    size_t space = header.find(' ');
    if (space == std::string_view::npos ||
        !EqualsNoCase(header.substr(0, space), "Bearer")) {
      return false;
    }
    *token = std::string(Trim(header.substr(space + 1)));
    return !token->empty();
  }

  Role RoleOf(const Request &req) const {
    std::string given;
    if (!BearerToken(req, &given)) return Role::kNone;
    if (SameToken(given, config.operatorToken)) return Role::kOperator;
    if (SameToken(given, config.token)) return Role::kApp;
    if (SameToken(given, config.metricsToken)) return Role::kMetrics;
    return Role::kNone;
  }

  // The token check: nullopt when `req` may reach what needs `need`.
  std::optional<Answer> Authorize(const Request &req, Role need) {
    std::string given;
    if (req[http::field::authorization].empty() || !BearerToken(req, &given)) {
      return Problem(401, "unauthorized", "A bearer token is required",
                     "send Authorization: Bearer TOKEN (the token is in the "
                     "service's state folder)");
    }
    Role role = RoleOf(req);
    if (role == Role::kNone) {
      return Problem(403, "forbidden", "The token is not valid",
                     "the bearer token does not match the service's token");
    }
    if (need == Role::kOperator && role != Role::kOperator) {
      return Problem(403, "forbidden", "The operator token is required",
                     "payouts, resets and incidents need the operator token");
    }
    if (need == Role::kApp && role == Role::kMetrics) {
      return Problem(403, "forbidden", "The token is read-only",
                     "the metrics token reads /metrics and /healthz only");
    }
    return std::nullopt;
  }

  // The Host header names this service: a loopback name or address, or a
  // name it was given (the certificate's, with TLS). Anything else is a
  // request meant for another site, or a page of another site that a DNS
  // rebinding pointed here.
  bool HostAllowed(std::string_view host) const {
    std::string_view name = host;
    if (name.starts_with('[')) {
      size_t end = name.find(']');
      if (end == std::string_view::npos) return false;
      std::string_view rest = name.substr(end + 1);
      if (!rest.empty() && !rest.starts_with(':')) return false;
      name = name.substr(1, end - 1);
    } else if (size_t colon = name.rfind(':');
               colon != std::string_view::npos) {
      name = name.substr(0, colon);
    }
    if (name.empty()) return false;
    std::string lower(name);
    for (char &c : lower) c = static_cast<char>(std::tolower(c));
    if (lower == "localhost" || lower.ends_with(".localhost")) return true;
    boost::system::error_code ec;
    auto address = net::ip::make_address(lower, ec);
    if (!ec && address.is_loopback()) return true;
    if (tls && !ec && lower == config.address) return true;
    return std::any_of(
        config.hostNames.begin(), config.hostNames.end(),
        [&](const std::string &n) { return EqualsNoCase(n, lower); });
  }

  // A browser's Origin must be this service itself: scheme, an allowed
  // host and this port. Requests without one are not from a browser page.
  bool OriginAllowed(std::string_view origin) const {
    std::string_view scheme = tls ? "https://" : "http://";
    if (!origin.starts_with(scheme)) return false;
    std::string_view authority = origin.substr(scheme.size());
    if (authority.find('/') != std::string_view::npos) return false;
    std::string port = std::to_string(acceptor.local_endpoint().port());
    bool defaultPort = port == (tls ? "443" : "80");
    size_t colon = authority.rfind(':');
    size_t bracket = authority.rfind(']');
    bool hasPort = colon != std::string_view::npos &&
                   (bracket == std::string_view::npos || colon > bracket);
    if (hasPort ? authority.substr(colon + 1) != port : !defaultPort) {
      return false;
    }
    return HostAllowed(authority);
  }

  // Host, then Origin for what changes state or opens the event stream.
  std::optional<Answer> CheckSite(const Request &req) const {
    if (!HostAllowed(req[http::field::host])) {
      return Problem(421, "misdirected", "Not this service's host name",
                     "the Host header must name this service (127.0.0.1, "
                     "localhost, or its configured name)");
    }
    auto m = req.method();
    bool changes = m != http::verb::get && m != http::verb::head &&
                   m != http::verb::options;
    auto origin = req[http::field::origin];
    if ((changes || websocket::is_upgrade(req)) &&
        req.find(http::field::origin) != req.end() && !OriginAllowed(origin)) {
      return Problem(403, "cross-origin", "Requests from other sites refused",
                     "the Origin header names another site");
    }
    return std::nullopt;
  }

  static Answer NotFound(const std::string &path) {
    return Problem(404, "not-found", "No such resource",
                   "nothing is served at " + path);
  }

  static Answer WrongMethod(const std::string &allowed) {
    Answer a = Problem(405, "method-not-allowed", "Method not allowed",
                       "use " + allowed);
    a.allow = allowed == "GET" ? "GET, HEAD" : allowed;
    return a;
  }

  awaitable<Response> Handle(const Request &req) {
    Target t = SplitTarget(req.target());
    const std::string &p = t.path;
    auto method = req.method();
    bool get = method == http::verb::get, post = method == http::verb::post;

    if (p == "/healthz") {
      if (!get) co_return Make(req, WrongMethod("GET"));
      // Liveness, and the one fault that stops sales without stopping the
      // service: a journal that cannot be written.
      if (worker.JournalFaulted()) {
        co_return Make(req, Ok(json::object{{"status", "fault"},
                                            {"faults", json::array{"journal"}}},
                               503));
      }
      co_return Make(req, Ok(json::object{{"status", "ok"}}));
    }
    if (get && p == "/favicon.ico") {
      co_return Text(req, 204, "image/x-icon", "");
    }
    if (get && (p == "/" || p == "/index.html" || p == "/app.js" ||
                p == "/style.css")) {
      // The page may not be framed by another site (clickjacking).
      std::string name = p == "/" ? "/index.html" : p;
      bool ok = false;
      std::string body = ReadFile(config.webRoot + name, &ok);
      if (!ok) co_return Make(req, NotFound(p));
      const char *type = name.ends_with(".js")    ? "text/javascript"
                         : name.ends_with(".css") ? "text/css"
                                                  : "text/html";
      Response r = Text(req, 200, std::string(type) + "; charset=utf-8",
                        std::move(body));
      r.set("Content-Security-Policy",
            "default-src 'self'; connect-src 'self'; frame-ancestors 'none'");
      co_return r;
    }

    bool operatorOnly =
        p == "/v1/payouts" || p == "/v1/unit/reset" ||
        (p.rfind("/v1/incidents/", 0) == 0 && p.ends_with("/resolve"));
    Role need = p == "/metrics" ? Role::kMetrics
                : operatorOnly  ? Role::kOperator
                                : Role::kApp;
    if (auto refused = Authorize(req, need)) {
      Response r = Make(req, *refused);
      if (refused->status == 401) {
        r.set(http::field::www_authenticate, "Bearer realm=\"tavod\"");
      }
      co_return r;
    }

    if (p == "/metrics") {
      if (!get) co_return Make(req, WrongMethod("GET"));
      co_return Text(req, 200, "text/plain; version=0.0.4; charset=utf-8",
                     metrics.Render());
    }
    if (p == "/v1/openapi.yaml") {
      if (!get) co_return Make(req, WrongMethod("GET"));
      bool ok = false;
      std::string body = ReadFile(config.openapiPath, &ok);
      if (!ok) co_return Make(req, NotFound(p));
      co_return Text(req, 200, "application/yaml", std::move(body));
    }
    if (p == "/v1/unit") {
      if (!get) co_return Make(req, WrongMethod("GET"));
      auto snapshot = worker.UnitJson();
      Response r = Text(req, 200, "application/json", *snapshot);
      r.set(http::field::cache_control, "no-store");
      co_return r;
    }
    if (p == "/v1/sales") {
      if (get) {
        co_return Make(
            req, co_await OnWorker([this] { return worker.ListSales(); }));
      }
      if (!post) co_return Make(req, WrongMethod("GET, POST"));
      json::object body;
      if (auto bad = ParseBody(
              req, {{"price", Field::kInt, true, 10, 32760, 10}}, &body)) {
        co_return Make(req, *bad);
      }
      auto price = static_cast<uint32_t>(IntField(body, "price", 0));
      Answer a =
          co_await OnWorker([this, price] { return worker.CreateSale(price); });
      Response r = Make(req, a);
      if (a.status == 201) {
        r.set(http::field::location,
              "/v1/sales/" +
                  std::to_string(a.body.as_object().at("id").as_int64()));
      }
      co_return r;
    }
    int64_t id = 0;
    std::string rest;
    if (PathId(p, "/v1/sales/", &id, &rest)) {
      if (rest.empty()) {
        if (!get) co_return Make(req, WrongMethod("GET"));
        co_return Make(
            req, co_await OnWorker([this, id] { return worker.GetSale(id); }));
      }
      if (rest == "/cancel") {
        if (!post) co_return Make(req, WrongMethod("POST"));
        json::object body;
        if (auto bad = ParseBody(req, {}, &body)) co_return Make(req, *bad);
        co_return Make(req, co_await OnWorker(
                                [this, id] { return worker.CancelSale(id); }));
      }
      co_return Make(req, NotFound(p));
    }
    if (p == "/v1/payouts") {
      if (!post) co_return Make(req, WrongMethod("POST"));
      json::object body;
      if (auto bad = ParseBody(
              req, {{"amount", Field::kInt, true, 10, 30000, 10}}, &body)) {
        co_return Make(req, *bad);
      }
      auto amount = static_cast<uint32_t>(IntField(body, "amount", 0));
      co_return Make(req, co_await OnWorker([this, amount] {
                       return worker.Payout(amount);
                     }));
    }
    if (p == "/v1/operations") {
      if (!get) co_return Make(req, WrongMethod("GET"));
      co_return Make(
          req, co_await OnWorker([this] { return worker.ListOperations(); }));
    }
    if (p == "/v1/display") {
      if (!post) co_return Make(req, WrongMethod("POST"));
      json::object body;
      if (auto bad =
              ParseBody(req, {{"value", Field::kInt, true, 0, 9999}}, &body)) {
        co_return Make(req, *bad);
      }
      auto value = static_cast<uint32_t>(IntField(body, "value", 0));
      co_return Make(req, co_await OnWorker(
                              [this, value] { return worker.Display(value); }));
    }
    if (p == "/v1/beep" || p == "/v1/unit/reset") {
      if (!post) co_return Make(req, WrongMethod("POST"));
      json::object body;
      if (auto bad = ParseBody(req, {}, &body)) co_return Make(req, *bad);
      bool beep = p == "/v1/beep";
      co_return Make(req, co_await OnWorker([this, beep] {
                       return beep ? worker.Beep() : worker.ResetUnit();
                     }));
    }
    if (p == "/v1/incidents") {
      if (!get) co_return Make(req, WrongMethod("GET"));
      bool openOnly = t.query["open"] == "true";
      co_return Make(req, co_await OnWorker([this, openOnly] {
                       return worker.ListIncidents(openOnly);
                     }));
    }
    if (PathId(p, "/v1/incidents/", &id, &rest) && rest == "/resolve") {
      if (!post) co_return Make(req, WrongMethod("POST"));
      co_return Make(req, co_await OnWorker([this, id] {
                       return worker.ResolveIncident(id);
                     }));
    }
    if (p == "/v1/virtual/coins" || p == "/v1/virtual/notes") {
      if (!post) co_return Make(req, WrongMethod("POST"));
      bool note = p == "/v1/virtual/notes";
      json::object body;
      Field value = note ? Field{"value", Field::kInt, true, 1000, 1000}
                         : Field{"value", Field::kInt, true, 10, 500, 10};
      if (auto bad = ParseBody(req, {value}, &body)) co_return Make(req, *bad);
      auto v = static_cast<int>(IntField(body, "value", 0));
      if (!note && v != 10 && v != 50 && v != 100 && v != 500) {
        co_return Make(
            req, Problem(422, "invalid-field", "A field has a wrong value",
                         "field \"value\" must be one of: 10, 50, "
                         "100, 500"));
      }
      co_return Make(req, co_await OnWorker([this, note, v] {
                       return worker.VirtualInsert(note, v);
                     }));
    }
    if (p == "/v1/virtual/faults") {
      if (!post) co_return Make(req, WrongMethod("POST"));
      json::object body;
      if (auto bad =
              ParseBody(req,
                        {{"kind",
                          Field::kString,
                          true,
                          0,
                          0,
                          1,
                          {"coin_jam", "note_jam", "power_failure", "silence"}},
                         {"on", Field::kBool, false}},
                        &body)) {
        co_return Make(req, *bad);
      }
      // The job captures plain values only: GCC 12 may destroy an object
      // captured by a lambda in a co_await expression twice.
      static const char *const kKinds[] = {"coin_jam", "note_jam",
                                           "power_failure", "silence"};
      size_t kind = 0;
      while (body.at("kind").as_string() != kKinds[kind]) ++kind;
      bool on = !body.contains("on") || body.at("on").as_bool();
      co_return Make(req, co_await OnWorker([this, kind, on] {
                       return worker.VirtualFault(kKinds[kind], on);
                     }));
    }
    if (p == "/v1/virtual/money") {
      if (!get) co_return Make(req, WrongMethod("GET"));
      co_return Make(
          req, co_await OnWorker([this] { return worker.VirtualMoney(); }));
    }
    co_return Make(req, NotFound(p));
  }

  // ------------------------------------------------------- WebSocket

  template <typename Stream>
  awaitable<void> Events(std::shared_ptr<websocket::stream<Stream>> ws,
                         uint64_t since, bool sinceGiven) {
    auto self = shared_from_this();
    ++webSockets;
    auto closed = std::make_shared<bool>(false);
    net::steady_timer wake(io);
    // Reads what the client sends (nothing is expected) to notice it going.
    net::co_spawn(
        io,
        [ws, closed, &wake]() -> awaitable<void> {
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
    uint64_t latest = nextSeq - 1;
    // A sequence number from before a restart of the service is unknown
    // here: such a client gets everything kept.
    uint64_t cursor = !sinceGiven ? latest : since > latest ? 0 : since;
    boost::system::error_code ec;
    json::object hello;
    hello["type"] = "hello";
    hello["boot"] = boot;
    hello["seq"] = latest;
    hello["time_ms"] = NowMs();
    ws->text(true);
    co_await ws->async_write(net::buffer(json::serialize(hello)),
                             net::redirect_error(use_awaitable, ec));
    while (!ec && !*closed) {
      if (!events.empty() && cursor + 1 < events.front().first) {
        json::object gap;
        gap["type"] = "gap";
        gap["data"] = json::object{{"from", cursor + 1},
                                   {"to", events.front().first - 1}};
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
      waiting.insert(&wake);
      boost::system::error_code waitEc;
      co_await wake.async_wait(net::redirect_error(use_awaitable, waitEc));
      waiting.erase(&wake);
    }
    waiting.erase(&wake);
    if (!*closed) {
      co_await ws->async_close(websocket::close_code::normal,
                               net::redirect_error(use_awaitable, ec));
    }
    // Let the reader finish before the timer it refers to goes.
    while (!*closed) {
      beast::get_lowest_layer(*ws).socket().close(ec);
      net::steady_timer t(io, std::chrono::milliseconds(5));
      co_await t.async_wait(net::redirect_error(use_awaitable, ec));
    }
    --webSockets;
  }

  template <typename Stream>
  awaitable<bool> Upgrade(Stream &stream, Request req,
                          std::list<Conn>::iterator conn) {
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
    std::optional<Answer> refused = Authorize(req, Role::kApp);
    // The last eighth of the places is kept for the operator token, so
    // that application clients cannot take them all.
    int places = config.maxWebSockets;
    if (RoleOf(req) != Role::kOperator) places -= config.maxWebSockets / 8;
    if (!refused && webSockets >= places) {
      refused = Problem(429, "too-many-clients", "Too many event clients",
                        "at most " + std::to_string(places) +
                            " WebSocket clients with this token at once");
    }
    if (refused) {
      metrics.Http(refused->status);
      Response r = Make(req, *refused);
      r.keep_alive(false);
      boost::system::error_code ec;
      co_await http::async_write(stream, r,
                                 net::redirect_error(use_awaitable, ec));
      co_return false;
    }
    uint64_t since = 0;
    bool sinceGiven = t.query.count("since") > 0;
    if (sinceGiven) {
      const std::string &s = t.query["since"];
      auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), since);
      if (ec != std::errc() || ptr != s.data() + s.size()) {
        Response r = Make(req, Problem(400, "invalid-query",
                                       "since must be a sequence number",
                                       "use /v1/events?since=SEQ"));
        r.keep_alive(false);
        boost::system::error_code wec;
        co_await http::async_write(stream, r,
                                   net::redirect_error(use_awaitable, wec));
        co_return false;
      }
    }
    metrics.Http(101);
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
    co_await Events(ws, since, sinceGiven);
    co_return true;
  }

  // ------------------------------------------------------- one client

  // 414 for a request line too long, 431 for header fields too large, 413
  // for a body. The parser has taken the request line in when only the
  // fields went past the limit.
  Response TooLarge(std::string_view target, bool body) {
    Request shell;
    shell.version(11);
    Answer a;
    if (body) {
      a = Problem(
          413, "too-large", "The request body is too large",
          "bodies are limited to " + std::to_string(config.maxBody) + " bytes");
    } else {
      if (target.empty() || target.size() > kMaxTarget) {
        a = Problem(
            414, "uri-too-long", "The request target is too long",
            "targets are limited to " + std::to_string(kMaxTarget) + " bytes");
      } else {
        a = Problem(431, "header-too-large", "The header fields are too large",
                    "the header is limited to " + std::to_string(kMaxHeader) +
                        " bytes");
      }
    }
    Response r = Make(shell, a);
    r.keep_alive(false);
    return r;
  }

  template <typename Stream>
  awaitable<void> Session(Stream stream) {
    auto self = shared_from_this();
    ConnGuard guard(*this, beast::get_lowest_layer(stream).socket());
    beast::flat_buffer buffer;
    for (;;) {
      http::request_parser<http::string_body> parser;
      parser.header_limit(kMaxHeader);
      parser.body_limit(config.maxBody);
      beast::get_lowest_layer(stream).expires_after(kReadTimeout);
      boost::system::error_code ec;
      guard.it->idle = true;
      co_await http::async_read(stream, buffer, parser,
                                net::redirect_error(use_awaitable, ec));
      guard.it->idle = false;
      if (ec == http::error::body_limit || ec == http::error::header_limit) {
        Response r =
            TooLarge(parser.get().target(), ec == http::error::body_limit);
        metrics.Http(r.result_int());
        co_await http::async_write(stream, r,
                                   net::redirect_error(use_awaitable, ec));
        break;
      }
      if (ec) break;
      Request req = parser.release();
      guard.it->role = RoleOf(req);
      std::optional<Answer> refused = CheckSite(req);
      if (!refused && req.target().size() > kMaxTarget) {
        refused = Problem(
            414, "uri-too-long", "The request target is too long",
            "targets are limited to " + std::to_string(kMaxTarget) + " bytes");
      }
      if (refused) {
        Response r = Make(req, *refused);
        r.keep_alive(false);
        metrics.Http(r.result_int());
        co_await http::async_write(stream, r,
                                   net::redirect_error(use_awaitable, ec));
        break;
      }
      if (websocket::is_upgrade(req)) {
        if (SplitTarget(req.target()).path == "/v1/events") {
          co_await Upgrade(stream, std::move(req), guard.it);
          co_return;
        }
        Response r = Make(req, NotFound(std::string(req.target())));
        r.keep_alive(false);
        co_await http::async_write(stream, r,
                                   net::redirect_error(use_awaitable, ec));
        break;
      }
      // HEAD is answered as GET, with the same header and no body.
      bool head = req.method() == http::verb::head;
      if (head) req.method(http::verb::get);
      Response res;
      if (SplitTarget(req.target()).path == "/v1/events") {
        res = Make(req, Problem(426, "upgrade-required", "This is a WebSocket",
                                "open /v1/events as a WebSocket"));
        res.set(http::field::upgrade, "websocket");
      } else {
        try {
          res = co_await Handle(req);
        } catch (const std::exception &e) {
          res = Make(req, Problem(500, "internal", "Internal error", e.what()));
        }
      }
      metrics.Http(res.result_int());
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
    beast::get_lowest_layer(stream).socket().shutdown(
        tcp::socket::shutdown_send, ignored);
  }

  awaitable<void> Accept() {
    auto self = shared_from_this();
    auto pause = std::chrono::milliseconds(10);
    for (;;) {
      // At the limit less the operator's reserve a newcomer takes the place
      // of the oldest idle connection of anyone else; at the limit itself,
      // with none to close, the service waits for one to end.
      while (conns.size() >= maxConns - operatorReserve && !Evict() &&
             conns.size() >= maxConns) {
        slotFreed.expires_after(std::chrono::seconds(1));
        boost::system::error_code wec;
        co_await slotFreed.async_wait(net::redirect_error(use_awaitable, wec));
      }
      boost::system::error_code ec;
      tcp::socket socket = co_await acceptor.async_accept(
          net::redirect_error(use_awaitable, ec));
      if (ec) {
        if (ec == net::error::operation_aborted) co_return;
        // Out of file descriptors or buffers: the connection stays in the
        // backlog. Free a place and back off instead of retrying at once.
        Evict();
        net::steady_timer t(io, pause);
        boost::system::error_code wec;
        co_await t.async_wait(net::redirect_error(use_awaitable, wec));
        pause = std::min<std::chrono::milliseconds>(pause * 2,
                                                    std::chrono::seconds(1));
        continue;
      }
      pause = std::chrono::milliseconds(10);
      beast::tcp_stream stream(std::move(socket));
      if (tls) {
        net::co_spawn(
            io,
            [self, s = std::move(stream)]() mutable -> awaitable<void> {
              beast::ssl_stream<beast::tcp_stream> ts(std::move(s), *self->tls);
              beast::get_lowest_layer(ts).expires_after(kReadTimeout);
              boost::system::error_code hec;
              co_await ts.async_handshake(
                  ssl::stream_base::server,
                  net::redirect_error(use_awaitable, hec));
              if (!hec) co_await self->Session(std::move(ts));
            },
            net::detached);
      } else {
        net::co_spawn(io, Session(std::move(stream)), net::detached);
      }
    }
  }
};

Server::Server(net::io_context &io, net::io_context &workerIo, Worker &worker,
               Metrics &metrics, ServerConfig config)
    : impl_(std::make_shared<Impl>(io, workerIo, worker, metrics,
                                   std::move(config))) {}

Server::~Server() = default;

bool Server::Listen(std::string *error) {
  Impl &s = *impl_;
  bool tls = !s.config.tlsCert.empty() || !s.config.tlsKey.empty();
  if (!IsLoopback(s.config.address) && !tls) {
    *error = "refusing to listen on " + s.config.address +
             " without TLS: money and tokens would cross the network in "
             "clear; give --tls-cert and --tls-key, or listen on 127.0.0.1";
    return false;
  }
  try {
    if (tls) {
      s.tls = std::make_unique<ssl::context>(ssl::context::tls_server);
      s.tls->set_options(ssl::context::default_workarounds |
                         ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
      s.tls->use_certificate_chain_file(s.config.tlsCert);
      s.tls->use_private_key_file(s.config.tlsKey, ssl::context::pem);
    }
    std::string address =
        s.config.address == "localhost" ? "127.0.0.1" : s.config.address;
    tcp::endpoint ep(net::ip::make_address(address), s.config.port);
    s.acceptor.open(ep.protocol());
    s.acceptor.set_option(net::socket_base::reuse_address(true));
    s.acceptor.bind(ep);
    s.acceptor.listen();
    // Connections within the open-file limit, an eighth of them (at least
    // two) kept for the operator.
    rlimit files{};
    size_t fit = s.config.maxConnections;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 &&
        files.rlim_cur != RLIM_INFINITY) {
      size_t room = files.rlim_cur > kFilesBesideConnections + 8
                        ? files.rlim_cur - kFilesBesideConnections
                        : 8;
      fit = std::min(fit, room);
    }
    s.maxConns = fit;
    s.operatorReserve = std::max<size_t>(2, fit / 8);
  } catch (const std::exception &e) {
    *error = "cannot listen on " + s.config.address + ":" +
             std::to_string(s.config.port) + ": " + e.what();
    return false;
  }
  net::co_spawn(s.io, s.Accept(), net::detached);
  return true;
}

unsigned short Server::Port() const {
  return impl_->acceptor.local_endpoint().port();
}

void Server::Publish(const std::string &type, json::object data) {
  net::post(impl_->io, [impl = impl_, type, data = std::move(data)]() mutable {
    impl->AddEvent(type, std::move(data));
  });
}

}  // namespace tavod
