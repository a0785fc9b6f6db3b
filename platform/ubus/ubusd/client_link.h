// One client connection of the daemon: non-blocking reads into a message splitter, and a bounded
// queue of outgoing messages so a client that does not read never blocks the daemon.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

extern "C" {
#include <libubox/uloop.h>
}

#include "ubus_wire.h"
#include "unique_fd.h"

class Broker;

// Registered with the event loop; the loop hands back the uloop_fd, which is the first member.
struct LinkWatch {
  uloop_fd fd;
  Broker *broker;
  uint32_t client;  // 0 for the listening socket
};

class ClientLink {
 public:
  // Outgoing bytes a client may leave unread before it is dropped.
  static constexpr size_t kMaxQueuedBytes = 4u << 20;

  ClientLink(ubus_wire::UniqueFd fd, uint32_t id, Broker *broker, uloop_fd_handler cb);
  ~ClientLink();
  ClientLink(const ClientLink &) = delete;
  ClientLink &operator=(const ClientLink &) = delete;

  uint32_t id() const { return watch_.client; }
  int fd() const { return fd_.get(); }
  bool start();
  // Reads what the socket holds now (bounded); false once the client closed or the socket failed.
  bool receive();
  ubus_wire::Receiver::Status next(ubus_wire::Message &m) { return rx_.next(m); }
  // Queues one message; false when the client is too far behind or its socket failed.
  bool send(const std::vector<uint8_t> &bytes);
  // Writes queued bytes as far as the socket takes them; false on a socket error.
  bool flush();

  bool doomed = false;        // dropped at the end of the current loop callback
  size_t pending_calls = 0;   // calls made by this client still waiting for their status
  size_t listener_count = 0;  // event patterns registered
  size_t object_count = 0;

 private:
  void watch_writes(bool on);

  ubus_wire::UniqueFd fd_;
  LinkWatch watch_{};
  ubus_wire::Receiver rx_{ubus_wire::kMaxPayload};
  std::deque<std::vector<uint8_t>> txq_;
  size_t tx_offset_ = 0;  // bytes of txq_.front() already written
  size_t tx_bytes_ = 0;
  bool watching_writes_ = false;
};
