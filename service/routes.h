// The API's routes: one table of {method, path, token, handler}, and the
// dispatch of a request through it (the token checked before the method,
// 405 with the methods a path takes, 404 for a path none serves). The
// operator page's files are served before it, to anyone.
#ifndef TAVOD_ROUTES_H
#define TAVOD_ROUTES_H

#include "http_common.h"
#include "server_state.h"

namespace tavod {

// Answers one request (HEAD already turned into GET).
net::awaitable<Response> Dispatch(ServerState &s, const Request &req);

}  // namespace tavod

#endif  // TAVOD_ROUTES_H
