// The collector's end of the link: a TCP listener on 127.0.0.1:5000 that takes the daemon's
// connection and splits what it sends into frames.
#pragma once

extern "C" {
#include <libubox/uloop.h>
}

#include "byte_fields.h"
#include "network.h"

namespace sim {

struct LinkServer;

// A descriptor on the event loop that knows its server.
struct ServerFd {
  uloop_fd fd{};  // first member: the loop hands back its address
  LinkServer *server = nullptr;
};

struct LinkServer {
  ServerFd listener;
  ServerFd link;
  Bytes pending;        // received bytes not yet a whole frame
  Network *network = nullptr;
};

// Listens and registers with the event loop; false (with a message) when the port is not free.
bool start_link_server(LinkServer &server, Network &network);
void stop_link_server(LinkServer &server);

// Takes the whole frames out of `pending` and hands each to its request handler. Bytes that
// cannot begin a frame (a wrong type byte) are counted and dropped.
void split_frames(Network &network, Bytes &pending);

}  // namespace sim
