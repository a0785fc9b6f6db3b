// The connection to the broker: libmosquitto's own network thread keeps it up and reconnects; its
// callbacks only record what happened and wake the agent's event loop through a pipe, so all the
// agent's work (queue, state, bus) stays in one thread.
#pragma once

#include <mosquitto.h>

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "agent_config.h"

namespace mqtt_agent {

struct LinkEvent {
  enum Kind { connected, disconnected, acknowledged, message } kind;
  int mid = 0;                  // acknowledged: the message id
  std::string topic, payload;   // message
};

struct MosquittoDestroy {
  void operator()(mosquitto *client) const { mosquitto_destroy(client); }
};

class MqttLink {
 public:
  // `will_topic` gets "offline" (retained) from the broker when the agent vanishes.
  MqttLink(const AgentConfig &config, const std::string &client_id, const std::string &will_topic);
  ~MqttLink();
  MqttLink(const MqttLink &) = delete;
  MqttLink &operator=(const MqttLink &) = delete;

  // Starts connecting in the background. False with `error` when the client cannot be set up.
  bool start(std::string &error);
  // The descriptor that becomes readable when events are waiting.
  int wake_fd() const { return wake_pipe_[0]; }
  // Takes the waiting events (and empties the wake pipe).
  std::deque<LinkEvent> take_events();

  // A QoS 1 publish; the message id, or nothing when the library refuses it.
  std::optional<int> publish(const std::string &topic, const std::string &payload, bool retain);
  void subscribe(const std::string &filter);

 private:
  static void on_connect(mosquitto *, void *self, int rc);
  static void on_disconnect(mosquitto *, void *self, int rc);
  static void on_publish(mosquitto *, void *self, int mid);
  static void on_message(mosquitto *, void *self, const mosquitto_message *message);
  void post(LinkEvent event);

  AgentConfig config_;
  std::string client_id_, will_topic_;
  std::unique_ptr<mosquitto, MosquittoDestroy> client_;
  bool loop_started_ = false;
  int wake_pipe_[2] = {-1, -1};
  std::mutex mutex_;            // guards events_
  std::deque<LinkEvent> events_;
};

}  // namespace mqtt_agent
