#include "auth.h"

#include <algorithm>
#include <boost/beast/websocket.hpp>
#include <cctype>

namespace tavod {
namespace {

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

// The token of "Authorization: Bearer TOKEN" (the scheme in any case);
// false when the header is missing or of another scheme.
bool BearerToken(const Request &req, std::string *token) {
  std::string_view header = Trim(req[http::field::authorization]);
  size_t space = header.find(' ');
  if (space == std::string_view::npos ||
      !EqualsNoCase(header.substr(0, space), "Bearer")) {
    return false;
  }
  *token = std::string(Trim(header.substr(space + 1)));
  return !token->empty();
}

// The Host header names this service: a loopback name or address, or a
// name it was given (the certificate's, with TLS). Anything else is a
// request meant for another site, or a page of another site that a DNS
// rebinding pointed here.
bool HostAllowed(std::string_view host, const ServerConfig &config, bool tls) {
  std::string_view name = host;
  if (name.starts_with('[')) {
    size_t end = name.find(']');
    if (end == std::string_view::npos) return false;
    std::string_view rest = name.substr(end + 1);
    if (!rest.empty() && !rest.starts_with(':')) return false;
    name = name.substr(1, end - 1);
  } else if (size_t colon = name.rfind(':'); colon != std::string_view::npos) {
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
bool OriginAllowed(std::string_view origin, const ServerConfig &config,
                   bool tls, unsigned short listening) {
  std::string_view scheme = tls ? "https://" : "http://";
  if (!origin.starts_with(scheme)) return false;
  std::string_view authority = origin.substr(scheme.size());
  if (authority.find('/') != std::string_view::npos) return false;
  std::string port = std::to_string(listening);
  bool defaultPort = port == (tls ? "443" : "80");
  size_t colon = authority.rfind(':');
  size_t bracket = authority.rfind(']');
  bool hasPort = colon != std::string_view::npos &&
                 (bracket == std::string_view::npos || colon > bracket);
  if (hasPort ? authority.substr(colon + 1) != port : !defaultPort) {
    return false;
  }
  return HostAllowed(authority, config, tls);
}

}  // namespace

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

Role RoleOf(const Request &req, const ServerConfig &config) {
  std::string given;
  if (!BearerToken(req, &given)) return Role::kNone;
  if (SameToken(given, config.operatorToken)) return Role::kOperator;
  if (SameToken(given, config.token)) return Role::kApp;
  if (SameToken(given, config.metricsToken)) return Role::kMetrics;
  return Role::kNone;
}

std::optional<Answer> Authorize(const Request &req, Role need,
                                const ServerConfig &config) {
  std::string given;
  if (req[http::field::authorization].empty() || !BearerToken(req, &given)) {
    return Problem(401, "unauthorized", "A bearer token is required",
                   "send Authorization: Bearer TOKEN (the token is in the "
                   "service's state folder)");
  }
  Role role = RoleOf(req, config);
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

std::optional<Answer> CheckSite(const Request &req, const ServerConfig &config,
                                bool tls, unsigned short port) {
  if (!HostAllowed(req[http::field::host], config, tls)) {
    return Problem(421, "misdirected", "Not this service's host name",
                   "the Host header must name this service (127.0.0.1, "
                   "localhost, or its configured name)");
  }
  auto m = req.method();
  bool changes =
      m != http::verb::get && m != http::verb::head && m != http::verb::options;
  if ((changes || beast::websocket::is_upgrade(req)) &&
      req.find(http::field::origin) != req.end() &&
      !OriginAllowed(req[http::field::origin], config, tls, port)) {
    return Problem(403, "cross-origin", "Requests from other sites refused",
                   "the Origin header names another site");
  }
  return std::nullopt;
}

}  // namespace tavod
