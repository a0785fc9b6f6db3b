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

// The end of a stall (control "stall").
struct StallTimer {
  uloop_timeout timeout{};  // first member: the loop hands back its address
  LinkServer *server = nullptr;
};

struct LinkServer {
  ServerFd listener;
  ServerFd link;
  Bytes pending;        // received bytes not yet a whole frame
  Network *network = nullptr;
  bool stalled = false;  // the daemon's frames are left unread (a new connection's too)
  StallTimer stall_end;
};

// Listens and registers with the event loop; false (with a message) when the port is not free.
bool start_link_server(LinkServer &server, Network &network);
void stop_link_server(LinkServer &server);

// Leaves what the daemon writes unread for `seconds` (0 ends a stall at once), as a coprocessor
// that stalls: the socket buffers fill and the daemon's writes block. Frames to the daemon go on.
void stall_link_reading(LinkServer &server, double seconds);

// Takes the whole frames out of `pending` and hands each to its request handler. Bytes that
// cannot begin a frame (a wrong type byte) are counted and dropped.
void split_frames(Network &network, Bytes &pending);

}  // namespace sim
