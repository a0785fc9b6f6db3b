// The connection to the broker: libmosquitto's own network thread keeps it up and reconnects; its
// callbacks only record what happened and wake the agent's event loop through a pipe, so all the
// agent's work (queue, state, bus) stays in one thread. What the network thread hands over is
// bounded: a payload over `inbound_limit` is not kept (only its size), and past the queue's bound
// further messages are dropped and counted. This is the one place that talks to libmosquitto.
#pragma once

#include <mosquitto.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "agent_config.h"

namespace mqtt_agent {

struct LinkEvent {
  enum Kind { connected, disconnected, acknowledged, message, problem } kind;
  int mid = 0;                  // acknowledged: the message id
  std::string topic, payload;   // message; problem: the reason in `payload`
  bool retained = false;        // message: a retained message the broker kept
  std::size_t oversize = 0;     // message: the payload's size when it was over the bound (payload then "")
};

struct MosquittoDestroy {
  void operator()(mosquitto *client) const { mosquitto_destroy(client); }
};

// What the network thread may hand over before the main loop takes it.
constexpr std::size_t kInboundMessages = 256;
constexpr std::size_t kInboundBytes = 1 << 20;

class MqttLink {
 public:
  // `will_topic` gets the offline bridge state (retained) from the broker when the agent vanishes.
  MqttLink(const AgentConfig &config, const std::string &client_id, const std::string &will_topic,
           const std::string &will_payload);
  ~MqttLink();
  MqttLink(const MqttLink &) = delete;
  MqttLink &operator=(const MqttLink &) = delete;

  // Starts connecting in the background. False with `error` when the client cannot be set up.
  bool start(std::string &error);
  // The descriptor that becomes readable when events are waiting.
  int wake_fd() const { return wake_pipe_[0]; }
  // Takes up to `most` waiting events; the descriptor stays readable while more wait.
  std::deque<LinkEvent> take_events(std::size_t most);

  // A publish at the configured QoS; the message id, or nothing when the library refuses it.
  std::optional<int> publish(const std::string &topic, const std::string &payload, bool retain);
  void subscribe(const std::string &filter);
  // Inbound messages dropped because the main loop had not taken the earlier ones.
  std::int64_t inbound_dropped() const { return inbound_dropped_.load(); }

 private:
  static void on_connect(mosquitto *, void *self, int rc);
  static void on_connect_v5(mosquitto *, void *self, int rc, int flags, const mosquitto_property *);
  static void on_disconnect(mosquitto *, void *self, int rc);
  static void on_publish(mosquitto *, void *self, int mid);
  static void on_message(mosquitto *, void *self, const mosquitto_message *message);
  static void on_log(mosquitto *, void *self, int level, const char *text);
  void connect_result(int rc, bool v5);
  void post(LinkEvent event);
  void wake();

  AgentConfig config_;
  std::string client_id_, will_topic_, will_payload_;
  std::unique_ptr<mosquitto, MosquittoDestroy> client_;
  bool loop_started_ = false;
  bool up_ = false;             // connected; the network thread's own
  bool refused_ = false;        // the broker refused the last attempt; the network thread's own
  int wake_pipe_[2] = {-1, -1};
  std::mutex mutex_;            // guards events_ and inbound_bytes_
  std::deque<LinkEvent> events_;
  std::size_t inbound_messages_ = 0, inbound_bytes_ = 0;
  std::atomic<std::int64_t> inbound_dropped_{0};
};

}  // namespace mqtt_agent
