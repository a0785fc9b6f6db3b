#include "mqtt_link.h"

#include <fcntl.h>
#include <unistd.h>

namespace mqtt_agent {

namespace {

struct LibraryInit {
  LibraryInit() { mosquitto_lib_init(); }
  ~LibraryInit() { mosquitto_lib_cleanup(); }
};

}  // namespace

MqttLink::MqttLink(const AgentConfig &config, const std::string &client_id, const std::string &will_topic)
    : config_(config), client_id_(client_id), will_topic_(will_topic) {
  static LibraryInit library;
  if (pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) wake_pipe_[0] = wake_pipe_[1] = -1;
}

MqttLink::~MqttLink() {
  if (client_ && loop_started_) {
    // A clean disconnect suppresses the last will, so the agent says "offline" itself first; the
    // library sends its queued packets in order, the disconnect last.
    mosquitto_publish(client_.get(), nullptr, will_topic_.c_str(), 7, "offline", 1, true);
    mosquitto_disconnect(client_.get());
    mosquitto_loop_stop(client_.get(), false);
  }
  client_.reset();
  for (int fd : wake_pipe_)
    if (fd >= 0) close(fd);
}

bool MqttLink::start(std::string &error) {
  if (wake_pipe_[0] < 0) {
    error = "no pipe";
    return false;
  }
  // Clean session: the agent's own queue holds what must not be lost, and the library resends
  // what was in flight when the connection broke.
  client_.reset(mosquitto_new(client_id_.c_str(), true, this));
  if (!client_) {
    error = "cannot create the MQTT client";
    return false;
  }
  mosquitto *client = client_.get();
  mosquitto_connect_callback_set(client, on_connect);
  mosquitto_disconnect_callback_set(client, on_disconnect);
  mosquitto_publish_callback_set(client, on_publish);
  mosquitto_message_callback_set(client, on_message);
  mosquitto_reconnect_delay_set(client, 1, 10, true);
  mosquitto_will_set(client, will_topic_.c_str(), 7, "offline", 1, true);
  if (!config_.username.empty() &&
      mosquitto_username_pw_set(client, config_.username.c_str(),
                                config_.password.empty() ? nullptr : config_.password.c_str()) != MOSQ_ERR_SUCCESS) {
    error = "cannot set the user name";
    return false;
  }
  if (!config_.ca_file.empty() && mosquitto_tls_set(client, config_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr) != MOSQ_ERR_SUCCESS) {
    error = "cannot use the CA file " + config_.ca_file;
    return false;
  }
  // A unix socket is given as the host with port 0.
  const bool unix_socket = !config_.socket.empty();
  const int rc = mosquitto_connect_async(client, unix_socket ? config_.socket.c_str() : config_.host.c_str(),
                                         unix_socket ? 0 : config_.port, config_.keepalive);
  // A broker that is not there yet is no failure: the network thread keeps trying.
  if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_ERRNO && rc != MOSQ_ERR_NO_CONN && rc != MOSQ_ERR_EAI) {
    error = mosquitto_strerror(rc);
    return false;
  }
  if (mosquitto_loop_start(client) != MOSQ_ERR_SUCCESS) {
    error = "cannot start the MQTT network thread";
    return false;
  }
  loop_started_ = true;
  if (rc != MOSQ_ERR_SUCCESS) mosquitto_reconnect_async(client);
  return true;
}

void MqttLink::post(LinkEvent event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }
  const char byte = 1;
  if (write(wake_pipe_[1], &byte, 1) < 0) {
    // The pipe is full: the loop has wake-ups waiting already.
  }
}

std::deque<LinkEvent> MqttLink::take_events() {
  char drain[256];
  while (read(wake_pipe_[0], drain, sizeof drain) > 0) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::deque<LinkEvent> taken;
  taken.swap(events_);
  return taken;
}

std::optional<int> MqttLink::publish(const std::string &topic, const std::string &payload, bool retain) {
  int mid = 0;
  const int rc = mosquitto_publish(client_.get(), &mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), 1, retain);
  if (rc != MOSQ_ERR_SUCCESS) return std::nullopt;
  return mid;
}

void MqttLink::subscribe(const std::string &filter) { mosquitto_subscribe(client_.get(), nullptr, filter.c_str(), 1); }

void MqttLink::on_connect(mosquitto *, void *self, int rc) {
  if (rc == 0) static_cast<MqttLink *>(self)->post(LinkEvent{LinkEvent::connected, 0, "", ""});
}

void MqttLink::on_disconnect(mosquitto *, void *self, int) {
  static_cast<MqttLink *>(self)->post(LinkEvent{LinkEvent::disconnected, 0, "", ""});
}

void MqttLink::on_publish(mosquitto *, void *self, int mid) {
  static_cast<MqttLink *>(self)->post(LinkEvent{LinkEvent::acknowledged, mid, "", ""});
}

void MqttLink::on_message(mosquitto *, void *self, const mosquitto_message *message) {
  if (message == nullptr || message->topic == nullptr) return;
  std::string payload;
  if (message->payload != nullptr && message->payloadlen > 0)
    payload.assign(static_cast<const char *>(message->payload), static_cast<std::size_t>(message->payloadlen));
  static_cast<MqttLink *>(self)->post(LinkEvent{LinkEvent::message, 0, message->topic, std::move(payload)});
}

}  // namespace mqtt_agent
