// One HTTP connection: requests read one after the other within the size
// limits, the Host and Origin checked, each answered through the routes
// (HEAD as GET without the body), or the connection handed to the
// WebSocket session on an upgrade to /v1/events.
#ifndef TAVOD_HTTP_SESSION_H
#define TAVOD_HTTP_SESSION_H

#include <memory>

#include "server_state.h"

namespace tavod {

// Stream: beast::tcp_stream, or beast::ssl_stream of one after its
// handshake.
template <typename Stream>
net::awaitable<void> HttpSession(std::shared_ptr<ServerState> s, Stream stream);

}  // namespace tavod

#endif  // TAVOD_HTTP_SESSION_H
