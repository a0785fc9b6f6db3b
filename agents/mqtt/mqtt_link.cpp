#include "mqtt_link.h"

#include <fcntl.h>
#include <unistd.h>

#include <mqtt_protocol.h>

namespace mqtt_agent {

namespace {

struct LibraryInit {
  LibraryInit() { mosquitto_lib_init(); }
  ~LibraryInit() { mosquitto_lib_cleanup(); }
};

// The system's certificate folder, for a client certificate without a CA file of its own (the
// library wants a CA file or folder beside a client certificate).
constexpr const char *kSystemCertificates = "/etc/ssl/certs";

}  // namespace

MqttLink::MqttLink(const AgentConfig &config, const std::string &client_id, const std::string &will_topic,
                   const std::string &will_payload)
    : config_(config), client_id_(client_id), will_topic_(will_topic), will_payload_(will_payload) {
  static LibraryInit library;
  if (pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) wake_pipe_[0] = wake_pipe_[1] = -1;
}

MqttLink::~MqttLink() {
  if (client_ && loop_started_) {
    // A clean disconnect suppresses the last will, so the agent says "offline" itself first; the
    // library sends its queued packets in order, the disconnect last.
    mosquitto_publish(client_.get(), nullptr, will_topic_.c_str(), static_cast<int>(will_payload_.size()),
                      will_payload_.data(), 1, true);
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
  const bool v5 = config_.protocol == 5;
  if (v5) mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  if (v5) mosquitto_connect_v5_callback_set(client, on_connect_v5);
  else mosquitto_connect_callback_set(client, on_connect);
  mosquitto_disconnect_callback_set(client, on_disconnect);
  mosquitto_publish_callback_set(client, on_publish);
  mosquitto_message_callback_set(client, on_message);
  mosquitto_log_callback_set(client, on_log);
  mosquitto_reconnect_delay_set(client, 1, 10, true);
  mosquitto_will_set(client, will_topic_.c_str(), static_cast<int>(will_payload_.size()), will_payload_.data(), 1, true);
  if (!config_.username.empty() &&
      mosquitto_username_pw_set(client, config_.username.c_str(),
                                config_.password.empty() ? nullptr : config_.password.c_str()) != MOSQ_ERR_SUCCESS) {
    error = "cannot set the user name";
    return false;
  }
  if (config_.tls) {
    const char *ca_file = config_.ca_file.empty() ? nullptr : config_.ca_file.c_str();
    const char *cert = config_.cert_file.empty() ? nullptr : config_.cert_file.c_str();
    const char *key = config_.key_file.empty() ? nullptr : config_.key_file.c_str();
    // Without a CA file of its own the agent trusts the system's certificate store.
    if (ca_file == nullptr) mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    if (ca_file != nullptr || cert != nullptr) {
      const int rc = mosquitto_tls_set(client, ca_file, ca_file == nullptr ? kSystemCertificates : nullptr, cert, key, nullptr);
      if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("cannot use the TLS files: ") + mosquitto_strerror(rc);
        return false;
      }
    }
  }
  // A unix socket is given as the host with port 0.
  const bool unix_socket = !config_.socket.empty();
  const int rc = mosquitto_connect_async(client, unix_socket ? config_.socket.c_str() : config_.host.c_str(),
                                         unix_socket ? 0 : config_.port, config_.keepalive);
  // A broker that is not there yet, or refuses now, is no failure: the network thread keeps
  // trying. Only settings the library cannot take are.
  if (rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_NOMEM || rc == MOSQ_ERR_NOT_SUPPORTED) {
    error = mosquitto_strerror(rc);
    return false;
  }
  if (mosquitto_loop_start(client) != MOSQ_ERR_SUCCESS) {
    error = "cannot start the MQTT network thread";
    return false;
  }
  loop_started_ = true;
  if (rc != MOSQ_ERR_SUCCESS) {
    post(LinkEvent{LinkEvent::problem, 0, "", std::string("cannot connect: ") + mosquitto_strerror(rc)});
    mosquitto_reconnect_async(client);
  }
  return true;
}

void MqttLink::wake() {
  const char byte = 1;
  if (write(wake_pipe_[1], &byte, 1) < 0) {
    // The pipe is full: the loop has wake-ups waiting already.
  }
}

void MqttLink::post(LinkEvent event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (event.kind == LinkEvent::message) {
      // Acknowledgements and connection changes always pass; messages only within the bound.
      if (inbound_messages_ >= kInboundMessages || inbound_bytes_ + event.payload.size() > kInboundBytes) {
        ++inbound_dropped_;
        return;
      }
      ++inbound_messages_;
      inbound_bytes_ += event.payload.size();
    }
    events_.push_back(std::move(event));
  }
  wake();
}

std::deque<LinkEvent> MqttLink::take_events(std::size_t most) {
  char drain[256];
  while (read(wake_pipe_[0], drain, sizeof drain) > 0) {
  }
  std::deque<LinkEvent> taken;
  bool more = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!events_.empty() && taken.size() < most) {
      LinkEvent &event = events_.front();
      if (event.kind == LinkEvent::message) {
        --inbound_messages_;
        inbound_bytes_ -= event.payload.size();
      }
      taken.push_back(std::move(event));
      events_.pop_front();
    }
    more = !events_.empty();
  }
  if (more) wake();  // the rest after the loop has looked at the bus
  return taken;
}

std::optional<int> MqttLink::publish(const std::string &topic, const std::string &payload, bool retain) {
  int mid = 0;
  const int rc = mosquitto_publish(client_.get(), &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                   config_.qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) return std::nullopt;
  return mid;
}

void MqttLink::subscribe(const std::string &filter) {
  if (config_.protocol == 5) {
    // Retained flags as published, so a retained command is known as such also when it arrives
    // live; no echo of the agent's own publishes (such as clearing a retained command).
    mosquitto_subscribe_v5(client_.get(), nullptr, filter.c_str(), 1, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED | MQTT_SUB_OPT_NO_LOCAL,
                           nullptr);
  } else {
    mosquitto_subscribe(client_.get(), nullptr, filter.c_str(), 1);
  }
}

void MqttLink::connect_result(int rc, bool v5) {
  up_ = rc == 0;
  refused_ = rc != 0;
  if (rc == 0) post(LinkEvent{LinkEvent::connected, 0, "", ""});
  else post(LinkEvent{LinkEvent::problem, 0, "", std::string("the broker refused the connection: ") +
                                                     (v5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc))});
}

void MqttLink::on_connect(mosquitto *, void *self, int rc) { static_cast<MqttLink *>(self)->connect_result(rc, false); }

void MqttLink::on_connect_v5(mosquitto *, void *self, int rc, int, const mosquitto_property *) {
  static_cast<MqttLink *>(self)->connect_result(rc, true);
}

void MqttLink::on_disconnect(mosquitto *, void *self, int rc) {
  auto *link = static_cast<MqttLink *>(self);
  link->post(LinkEvent{LinkEvent::disconnected, 0, "", ""});
  // A refusal said why already; a connection closed before any answer (a TLS alert) says it here.
  if (rc != 0 && link->up_) link->post(LinkEvent{LinkEvent::problem, 0, "", std::string("connection lost: ") + mosquitto_strerror(rc)});
  else if (rc != 0 && !link->refused_)
    link->post(LinkEvent{LinkEvent::problem, 0, "", std::string("closed before the broker answered: ") + mosquitto_strerror(rc)});
  link->up_ = link->refused_ = false;
}

void MqttLink::on_publish(mosquitto *, void *self, int mid) {
  static_cast<MqttLink *>(self)->post(LinkEvent{LinkEvent::acknowledged, mid, "", ""});
}

void MqttLink::on_message(mosquitto *, void *self, const mosquitto_message *message) {
  if (message == nullptr || message->topic == nullptr) return;
  auto *link = static_cast<MqttLink *>(self);
  LinkEvent event{LinkEvent::message, 0, message->topic, "", message->retain, 0};
  const auto size = message->payloadlen > 0 ? static_cast<std::size_t>(message->payloadlen) : 0;
  // A payload over the bound is never copied: only its size goes on, for the refusal.
  if (size > link->config_.inbound_limit) event.oversize = size;
  else if (message->payload != nullptr) event.payload.assign(static_cast<const char *>(message->payload), size);
  link->post(std::move(event));
}

void MqttLink::on_log(mosquitto *, void *self, int level, const char *text) {
  // The library's own errors (TLS certificate checks among them) say why a connection failed.
  if ((level & MOSQ_LOG_ERR) != 0 && text != nullptr)
    static_cast<MqttLink *>(self)->post(LinkEvent{LinkEvent::problem, 0, "", text});
}

}  // namespace mqtt_agent
