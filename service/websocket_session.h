// The event stream on /v1/events: the upgrade (the token also offered as a
// subprotocol "bearer.TOKEN", since browsers cannot set headers on a
// WebSocket; a limit of clients with places kept for the operator), then
// every event from the log as it comes, after the ones the client missed.
#ifndef TAVOD_WEBSOCKET_SESSION_H
#define TAVOD_WEBSOCKET_SESSION_H

#include <memory>

#include "connections.h"
#include "server_state.h"

namespace tavod {

// Takes the HTTP session's stream over; true when it was upgraded (the
// connection is done with either way once it ends).
template <typename Stream>
net::awaitable<bool> WebSocketSession(std::shared_ptr<ServerState> s,
                                      Stream &stream, Request req,
                                      Connections::Handle conn);

}  // namespace tavod

#endif  // TAVOD_WEBSOCKET_SESSION_H
