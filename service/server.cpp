#include "server.h"

#include "listener.h"
#include "server_state.h"

namespace tavod {

bool IsLoopback(const std::string &address) {
  if (address == "localhost") return true;
  boost::system::error_code ec;
  auto a = net::ip::make_address(address, ec);
  return !ec && a.is_loopback();
}

Server::Server(net::io_context &io, net::io_context &workerIo, Worker &worker,
               Metrics &metrics, ServerConfig config)
    : state_(std::make_shared<ServerState>(io, workerIo, worker, metrics,
                                           std::move(config))) {}

Server::~Server() = default;

bool Server::Listen(std::string *error) { return tavod::Listen(state_, error); }

unsigned short Server::Port() const { return state_->Port(); }

void Server::Publish(const std::string &type, boost::json::object data) {
  net::post(state_->io,
            [state = state_, type, data = std::move(data)]() mutable {
              state->events.Add(type, std::move(data));
            });
}

}  // namespace tavod
