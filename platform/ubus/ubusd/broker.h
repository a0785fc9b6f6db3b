// The bus daemon's core: clients, the object registry, call routing and event fan-out.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client_link.h"
#include "ubus_wire.h"
#include "unique_fd.h"

// A timer of the broker; the loop hands back the uloop_timeout, which is the first member.
struct BrokerTimer {
  uloop_timeout timeout;
  Broker *broker;
};

class Broker {
 public:
  Broker(ubus_wire::UniqueFd listener, size_t max_clients);
  ~Broker();
  Broker(const Broker &) = delete;
  Broker &operator=(const Broker &) = delete;

  bool start();

 private:
  struct ObjectEntry {
    uint32_t id;
    uint32_t owner;
    std::string path;
    std::vector<uint32_t> signature;  // copy of the signature attribute, empty when none
  };
  struct Listener {
    uint32_t client;
    uint32_t handler;
    std::string pattern;
  };
  struct PendingCall {
    uint32_t owner;
    uint64_t serial;  // order of arrival, to evict the oldest
  };
  using CallKey = std::pair<uint32_t, uint16_t>;  // caller, its request number

  static void on_listener_ready(uloop_fd *u, unsigned int events);
  static void on_client_ready(uloop_fd *u, unsigned int events);
  static void on_accept_retry(uloop_timeout *t);

  void accept_clients();
  void serve(ClientLink &c, unsigned int events);
  void handle(ClientLink &c, const ubus_wire::Message &m);

  void lookup(ClientLink &c, const ubus_wire::Message &m);
  void add_object(ClientLink &c, const ubus_wire::Message &m);
  void remove_object(ClientLink &c, const ubus_wire::Message &m);
  void invoke(ClientLink &c, const ubus_wire::Message &m);
  void forward_reply(ClientLink &c, const ubus_wire::Message &m);
  void add_listener(ClientLink &c, const ubus_wire::Message &m);
  void remove_listener(ClientLink &c, const ubus_wire::Message &m);
  void send_event(ClientLink &c, const ubus_wire::Message &m);

  void reply_status(ClientLink &c, uint16_t seq, int status, uint32_t peer = 0);
  void deliver(ClientLink &c, const std::vector<uint8_t> &bytes);
  void publish(const char *event, const blob_attr *fields);
  void publish_object(const char *event, uint32_t id, const std::string &path);
  void track_call(ClientLink &caller, uint16_t seq, uint32_t owner);

  ClientLink *find_client(uint32_t id);
  uint32_t new_id();
  void doom(ClientLink &c, const char *why);
  void reap();

  ubus_wire::UniqueFd listener_fd_;
  LinkWatch listener_watch_{};
  BrokerTimer accept_retry_{};
  size_t max_clients_;
  std::map<uint32_t, std::unique_ptr<ClientLink>> clients_;
  std::map<uint32_t, ObjectEntry> objects_;
  std::map<std::string, uint32_t> objects_by_path_;
  std::vector<Listener> listeners_;
  std::map<CallKey, PendingCall> calls_;
  std::vector<uint32_t> doomed_;
  uint32_t next_id_;
  uint64_t call_serial_ = 0;
};
