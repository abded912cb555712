// The listener: binds the address (refusing a non-loopback one without
// TLS), sizes the connections to the open-file limit, and accepts
// connections, each into an HTTP session of its own (after the TLS
// handshake when serving HTTPS).
#ifndef TAVOD_LISTENER_H
#define TAVOD_LISTENER_H

#include <memory>
#include <string>

#include "server_state.h"

namespace tavod {

// Binds and starts accepting; false with the reason.
bool Listen(const std::shared_ptr<ServerState> &s, std::string *error);

}  // namespace tavod

#endif  // TAVOD_LISTENER_H
