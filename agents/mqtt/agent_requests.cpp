// The agent's requests from the broker: the set, get and bridge request topics, checked, limited
// and answered in the response envelope.
#include <chrono>
#include <cstdio>

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include "agent.h"
#include "blob_buffer.h"
#include "json.h"
#include "sensor_id.h"

namespace mqtt_agent {

namespace {

std::int64_t monotonic_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A JSON object's text with one more member.
std::string with_member(const std::string &object_text, const char *key, json_object *value) {
  Json object = object_text.empty() ? nullptr : parse_json(object_text);
  if (object == nullptr || !json_object_is_type(object.get(), json_type_object)) object.reset(json_object_new_object());
  json_object_object_add(object.get(), key, value);
  return json_text(object.get());
}

}  // namespace

void Agent::respond(const std::string &topic, bool ok, const std::string &data, const std::string &error,
                    const std::string &transaction) {
  if (!ok) ++counters_.refused;
  link_->publish(topic, response_envelope(ok, data, error, transaction), false);
}

bool Agent::send_command(const std::string &event) {
  BlobBuffer message;
  if (bus_ == nullptr || !blobmsg_add_json_from_string(&message.buffer, event.c_str())) return false;
  if (ubus_send_event(bus_, "vorn_mgr", message.buffer.head) != UBUS_STATUS_OK) return false;
  ++counters_.commands;
  return true;
}

std::string Agent::sensor_named(const std::string &name) {
  std::string found;
  for (const auto &[id, stored] : sensor_list_.all()) {
    if (stored.name != name) continue;
    if (!found.empty()) return "";  // two sensors of that name: say which by id
    found = id;
  }
  return found;
}

void Agent::on_message(const LinkEvent &event) {
  const std::string &topic = event.topic;
  if (!topics_.discovery_prefix.empty() && topic == topics_.discovery_status()) {
    if (event.payload == "online") {
      const DiscoveryMessage gateway = gateway_discovery_config(topics_);
      queue(gateway.topic, gateway.payload, true);
      for (auto &[id, state] : sensors_) {
        announced_.erase(id);
        announce(state);
      }
    }
    return;
  }
  // Which command topic: <base>/bridge/request/<command>, <base>/<sensor>/set or <base>/<sensor>/get.
  const std::string request_prefix = topics_.request_prefix();
  const std::string sensor_prefix = topics_.base + "/";
  std::string command, id, response_topic;
  bool set = false;
  if (topic.rfind(request_prefix, 0) == 0) {
    command = topic.substr(request_prefix.size());
    response_topic = topics_.bridge_response(command);
  } else if (topic.rfind(sensor_prefix, 0) == 0 && topic.size() > sensor_prefix.size() + 4 &&
             (topic.compare(topic.size() - 4, 4, "/set") == 0 || topic.compare(topic.size() - 4, 4, "/get") == 0)) {
    id = topic.substr(sensor_prefix.size(), topic.size() - sensor_prefix.size() - 4);
    if (id.find('/') != std::string::npos) return;
    set = topic.compare(topic.size() - 4, 4, "/set") == 0;
    response_topic = set ? topics_.set_response(id) : topics_.get_response(id);
  } else {
    return;
  }
  if (event.retained) {
    // A command kept by the broker would run again at every connection: never run, and removed.
    ++counters_.retained_cleared;
    std::fprintf(stderr, "mqtt_agent: ignored the retained message on %s and cleared it\n", topic.c_str());
    if (config_.protocol != 5) clearing_.insert(topic);  // MQTT 5 subscriptions do not echo it back
    link_->publish(topic, "", true);
    return;
  }
  if (event.payload.empty() && event.oversize == 0 && clearing_.erase(topic) != 0) return;  // that clearing, echoed
  if (event.oversize != 0) {
    ++counters_.oversized;
    respond(response_topic, false, "", "the payload of " + std::to_string(event.oversize) + " bytes is over the limit of " +
                                           std::to_string(config_.inbound_limit) + " bytes", "");
    return;
  }
  const std::string transaction = transaction_of(event.payload);
  if (!requests_.take(monotonic_ms())) {
    ++counters_.rate_limited;
    respond(response_topic, false, "", "too many requests: at most " + std::to_string(config_.command_burst) + " at once and " +
                                           std::to_string(config_.command_rate) + " a second; try again later", transaction);
    return;
  }
  if (!command.empty()) on_bridge_request(command, event.payload, transaction);
  else on_sensor_request(id, set, event.payload, transaction);
}

std::string Agent::answer_data(const CommandCheck &check) {
  std::string data = check.data;
  const auto found = sensors_.find(check.id);
  const SensorState *state = found != sensors_.end() ? &found->second : nullptr;
  switch (check.answer) {
    case Answer::none:
      break;
    case Answer::devices: {
      json_object *list = json_object_new_array();
      for (const auto &[id, sensor] : sensors_)
        if (sensor.present) json_object_array_add(list, device_entry(sensor));
      data = with_member(data, "devices", list);
      break;
    }
    case Answer::interval: {
      const auto stored = sensor_list_.find(check.id);
      int reported = state != nullptr ? state->interval : 0;
      if (reported == 0 && stored && stored->interval) reported = *stored->interval;
      data = with_member(data, "interval", reported > 0 ? json_object_new_int(reported) : nullptr);
      data = with_member(data, "wanted", stored && stored->interval_wanted && *stored->interval_wanted > 0
                                             ? json_object_new_int(*stored->interval_wanted)
                                             : nullptr);
      break;
    }
    case Answer::values: {
      const Json document = state != nullptr ? parse_json(state_document(*state, 0)) : nullptr;
      json_object *channels = member(document.get(), "channels");
      data = with_member(data, "channels", channels != nullptr ? json_object_get(channels) : json_object_new_object());
      data = with_member(data, "last_seen", state != nullptr && state->last_seen != 0
                                                ? json_object_new_string(iso_time(state->last_seen).c_str())
                                                : nullptr);
      break;
    }
    case Answer::health: {
      const bool healthy = daemon_running_ && outbox_->file_ok();
      data = with_member(data, "healthy", json_object_new_boolean(healthy ? 1 : 0));
      data = with_member(data, "daemon", json_object_new_boolean(daemon_running_ ? 1 : 0));
      data = with_member(data, "queue_file", json_object_new_boolean(outbox_->file_ok() ? 1 : 0));
      data = with_member(data, "waiting", json_object_new_int64(outbox_->size()));
      break;
    }
    case Answer::info:
      info_sent_.clear();
      publish_info();
      data = info_sent_;
      break;
  }
  return data;
}

void Agent::on_bridge_request(const std::string &command, const std::string &payload, const std::string &transaction) {
  const std::string response_topic = topics_.bridge_response(command);
  const CommandCheck check = check_bridge_request(
      command, payload, [this](const std::string &sensor_id) { return sensor_list_.knows(sensor_id); },
      [this](const std::string &name) { return sensor_named(name); });
  if (!check.ok) {
    respond(response_topic, false, "", check.reason, transaction);
    return;
  }
  std::string data = answer_data(check);
  if (!check.event.empty()) {
    if (!send_command(check.event)) {
      respond(response_topic, false, data, "the bus did not take the command", transaction);
      return;
    }
    if (check.event.find("\"RemoveDev\"") != std::string::npos) removal_asked_.insert(check.id);
    if (check.event.find("\"JoinNetwork_Enable\"") != std::string::npos) {
      const bool open = check.event.find("\"JoinNetwork_Enable\":1") != std::string::npos;
      permit_join_until_ = open ? std::time(nullptr) + 120 : 0;
      publish_info();
    }
    data = with_member(data, "command", parse_json(check.event).release());
  }
  respond(response_topic, true, data, "", transaction);
}

void Agent::on_sensor_request(const std::string &id, bool set, const std::string &payload, const std::string &transaction) {
  const std::string response_topic = set ? topics_.set_response(id) : topics_.get_response(id);
  if (!is_sensor_id(id)) {
    respond(response_topic, false, "", "\"" + id.substr(0, 64) + "\" is no sensor id: 16 hexadecimal digits", transaction);
    return;
  }
  const std::string sensor_id = upper_sensor_id(id);
  if (!set) {
    // A fresh copy of the sensor's state on its topic, and in the answer.
    const auto found = sensors_.find(sensor_id);
    if (found == sensors_.end() || !found->second.present) {
      respond(response_topic, false, "", "unknown sensor " + sensor_id, transaction);
      return;
    }
    const std::string document = state_document(found->second, outbox_->next_sequence());
    queue(topics_.sensor_state(sensor_id), document, config_.retain);
    respond(response_topic, true, document, "", transaction);
    return;
  }
  const CommandCheck check =
      check_set_request(sensor_id, payload, [this](const std::string &known) { return sensor_list_.knows(known); });
  if (!check.ok) {
    respond(response_topic, false, "", check.reason, transaction);
    return;
  }
  if (!send_command(check.event)) {
    respond(response_topic, false, check.data, "the bus did not take the command", transaction);
    return;
  }
  respond(response_topic, true, with_member(check.data, "command", parse_json(check.event).release()), "", transaction);
}

}  // namespace mqtt_agent
