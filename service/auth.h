// Who may ask what: the bearer tokens (the application's, the operator's,
// the read-only metrics token), and the Host and Origin checks against DNS
// rebinding and cross-site requests.
#ifndef TAVOD_AUTH_H
#define TAVOD_AUTH_H

#include <optional>
#include <string>
#include <string_view>

#include "http_common.h"
#include "server.h"

namespace tavod {

// Who a request's token says it comes from; kNone also marks what needs no
// token.
enum class Role { kNone, kMetrics, kApp, kOperator };

Role RoleOf(const Request &req, const ServerConfig &config);
// The token check: nullopt when `req` may reach what needs `need`.
std::optional<Answer> Authorize(const Request &req, Role need,
                                const ServerConfig &config);
// Host, then Origin for what changes state or opens the event stream
// (`tls`: the service serves HTTPS on `port`).
std::optional<Answer> CheckSite(const Request &req, const ServerConfig &config,
                                bool tls, unsigned short port);

bool EqualsNoCase(std::string_view a, std::string_view b);
std::string_view Trim(std::string_view v);

}  // namespace tavod

#endif  // TAVOD_AUTH_H
