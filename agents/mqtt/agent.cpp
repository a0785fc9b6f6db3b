#include "agent.h"

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "cloud_commands.h"
#include "device_list.h"
#include "json.h"
#include "sensor_id.h"
#include <gateway_lib/shm_channel.h>

namespace mqtt_agent {

namespace {

// Messages handed to the library and not yet acknowledged: the library's own default in-flight
// limit, so it never holds any back.
constexpr std::size_t kWindow = 20;
// After a reconnection the library resends what was in flight; if that is not acknowledged within
// this time, the rows are handed over again (the broker may then see some twice).
constexpr std::time_t kResendPatience = 10;
// Seconds past the offline limit before a sensor is marked offline, for frames a little late.
constexpr std::time_t kOfflineGrace = 2;

struct BlobBuffer {
  BlobBuffer() { blob_buf_init(&buffer, 0); }
  ~BlobBuffer() { blob_buf_free(&buffer); }
  BlobBuffer(const BlobBuffer &) = delete;
  BlobBuffer &operator=(const BlobBuffer &) = delete;
  blob_buf buffer{};
};

// Whether the daemon holds a short address for the sensor in sensorlist. The id is checked to be
// 16 hexadecimal digits before it reaches the command line.
bool daemon_knows(const std::string &id) {
  if (!is_sensor_id(id)) return false;
  const std::string command = "uci -q get sensorlist.@" + id + "[].ShortAddress 2>/dev/null";
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  char line[64] = {};
  const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
  pclose(pipe);
  std::string text = got ? line : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.size() == 4;
}

void keep_reply(ubus_request *request, int, blob_attr *message) {
  auto *out = static_cast<Json *>(request->priv);
  if (*out != nullptr || message == nullptr) return;
  char *text = blobmsg_format_json(message, true);
  if (text != nullptr) *out = parse_json(text);
  std::free(text);
}

}  // namespace

Agent::Agent(AgentConfig config, std::string gateway_id, std::unique_ptr<Outbox> outbox)
    : config_(std::move(config)), outbox_(std::move(outbox)) {
  topics_.gateway_id = gateway_id;
  topics_.base = config_.base_topic + "/" + gateway_id;
  topics_.discovery_prefix = config_.discovery ? config_.discovery_prefix : "";
  started_ = std::time(nullptr);
  // What was known before a restart, so channel units and names are not lost with it.
  for (const Outbox::SavedSensor &saved : outbox_->saved_sensors()) {
    SensorState state;
    if (saved.id.empty() || !sensor_from_document(saved.document, state) || state.id != saved.id) continue;
    state.present = saved.present;
    sensors_[saved.id] = std::move(state);
  }
}

bool Agent::start(ubus_context *bus, std::string &error) {
  bus_ = bus;
  const std::string client_id = config_.client_id.empty() ? "vorn_mqtt_" + topics_.gateway_id : config_.client_id;
  link_ = std::make_unique<MqttLink>(config_, client_id, topics_.bridge_state());
  return link_->start(error);
}

int Agent::wake_fd() const { return link_ ? link_->wake_fd() : -1; }

SensorState &Agent::sensor(const std::string &id) {
  auto found = sensors_.find(id);
  if (found == sensors_.end()) {
    found = sensors_.emplace(id, SensorState{}).first;
    found->second.id = id;
    found->second.last_seen = 0;
  }
  return found->second;
}

void Agent::queue(const std::string &topic, const std::string &payload, bool retain) {
  if (!outbox_->push(topic, payload, retain)) {
    std::fprintf(stderr, "mqtt_agent: message for %s not queued: the queue file refused it\n", topic.c_str());
    return;
  }
  ++counters_.queued;
}

void Agent::on_report(const std::string &envelope_text, std::time_t now) {
  ++counters_.reports;
  const Json envelope = parse_json(envelope_text);
  const auto id = string_member(envelope.get(), "ID");
  json_object *type = member(envelope.get(), "Type");
  const auto body = string_member(envelope.get(), "Body");
  if (!id || !is_sensor_id(*id) || type == nullptr || !json_object_is_type(type, json_type_int) || !body) return;
  SensorState &state = sensor(upper_sensor_id(*id));
  const ReportEffect effect = apply_report(state, json_object_get_int(type), *body, now);
  publish_sensor(state, effect);
  pump();
}

void Agent::publish_sensor(SensorState &state, ReportEffect effect) {
  if (effect == ReportEffect::none) return;
  if (effect != ReportEffect::left) state.present = true;
  const std::string document = state_document(state, outbox_->next_sequence());
  queue(topics_.sensor_state(state.id), document, true);
  outbox_->save_sensor(state.id, document, state.present);
  if (effect == ReportEffect::left) {
    publish_availability(state, false);
    for (const DiscoveryMessage &removal : discovery_removals(topics_, state)) queue(removal.topic, "", true);
    announced_.erase(state.id);
  } else {
    publish_availability(state, true);
    announce(state);
  }
  publish_devices();
}

void Agent::publish_availability(SensorState &state, bool online) {
  const auto last = availability_.find(state.id);
  if (last != availability_.end() && last->second == online) return;
  availability_[state.id] = online;
  queue(topics_.availability(state.id), online ? "online" : "offline", true);
}

void Agent::announce(SensorState &state) {
  if (topics_.discovery_prefix.empty() || !state.present) return;
  const std::vector<DiscoveryMessage> configs = discovery_configs(topics_, state);
  std::string all;
  for (const DiscoveryMessage &config : configs) all += config.topic + "\n" + config.payload + "\n";
  if (announced_[state.id] == all) return;
  // Channels that are gone lose their configs.
  const std::string &before = announced_[state.id];
  std::size_t start = 0;
  while (start < before.size()) {
    const std::size_t topic_end = before.find('\n', start);
    const std::size_t payload_end = topic_end == std::string::npos ? std::string::npos : before.find('\n', topic_end + 1);
    if (payload_end == std::string::npos) break;
    const std::string topic = before.substr(start, topic_end - start);
    if (all.find(topic + "\n") == std::string::npos) queue(topic, "", true);
    start = payload_end + 1;
  }
  for (const DiscoveryMessage &config : configs) queue(config.topic, config.payload, true);
  announced_[state.id] = all;
}

void Agent::publish_devices() {
  std::vector<const SensorState *> present;
  for (const auto &[id, state] : sensors_)
    if (state.present) present.push_back(&state);
  const std::string document = devices_document(present);
  if (document == devices_sent_) return;
  devices_sent_ = document;
  queue(topics_.bridge_devices(), document, true);
}

void Agent::read_daemon_view(std::time_t now) {
  if (!status_bus_) status_bus_.reset(ubus_connect(nullptr));
  std::uint32_t id = 0;
  if (!status_bus_ || ubus_lookup_id(status_bus_.get(), "vorn_mgr", &id) != UBUS_STATUS_OK) {
    daemon_offline_.clear();
    return;
  }
  BlobBuffer message;
  Json reply;
  if (ubus_invoke(status_bus_.get(), id, "sensors", message.buffer.head, keep_reply, &reply, 1000) != UBUS_STATUS_OK) {
    status_bus_.reset();  // a late answer must not meet the next call
    return;
  }
  json_object *list = member(reply.get(), "sensors");
  if (list == nullptr || !json_object_is_type(list, json_type_array)) return;
  daemon_offline_.clear();
  for (std::size_t i = 0; i < json_object_array_length(list); ++i) {
    json_object *entry = json_object_array_get_idx(list, i);
    const auto sensor_id = string_member(entry, "id");
    if (!sensor_id || !is_sensor_id(*sensor_id)) continue;
    json_object *last_seen = member(entry, "last_seen");
    json_object *interval = member(entry, "interval");
    const std::time_t seen = last_seen != nullptr && json_object_is_type(last_seen, json_type_int)
                                 ? static_cast<std::time_t>(json_object_get_int64(last_seen))
                                 : 0;
    const std::int64_t seconds = interval != nullptr && json_object_is_type(interval, json_type_int) ? json_object_get_int64(interval) : 0;
    // The daemon calls a sensor offline when the collector said it is not active, or after its own
    // count of missed intervals; only the first is taken from it, the agent counts its own.
    const bool recent = seen != 0 && seconds > 0 && now - seen <= 3 * seconds;
    daemon_offline_[*sensor_id] = string_member(entry, "availability").value_or("") == "offline" && recent;
    // Every frame counts as seen, also those that make no report.
    const auto found = sensors_.find(*sensor_id);
    if (found != sensors_.end()) found->second.last_seen = std::max(found->second.last_seen, seen);
  }
}

void Agent::tick(std::time_t now) {
  if (now - daemon_view_at_ >= 2) {
    daemon_view_at_ = now;
    read_daemon_view(now);
  }
  std::map<std::string, bool> held;
  const auto devices = read_device_list();
  if (devices) {
    for (const DeviceSeen &seen : *devices) {
      held[seen.id] = true;
      SensorState &state = sensor(seen.id);
      const bool is_new = !state.present || state.short_address.empty();
      state.short_address = seen.short_address;
      if (state.model.empty()) state.model = seen.model;
      if (state.firmware.empty()) state.firmware = seen.firmware;
      if (state.rf_firmware.empty()) state.rf_firmware = seen.rf_firmware;
      if (state.manufacturer.empty()) state.manufacturer = seen.manufacturer;
      if (seen.rssi != 0) state.rssi = seen.rssi;
      if (seen.interval > 0) state.interval = seen.interval;
      if (is_new) {
        state.present = true;
        if (state.last_seen == 0) state.last_seen = now;
        publish_sensor(state, ReportEffect::state);
      }
    }
    // A sensor the daemon no longer holds (gone silent and removed) is offline.
    for (auto &[id, state] : sensors_)
      if (state.present && held.count(id) == 0) publish_availability(state, false);
  }
  for (auto &[id, state] : sensors_) {
    if (!state.present) continue;
    std::int32_t size = 0;
    if (void *content = share_memory_read_noneblock(id.c_str(), &size, 10)) {
      const std::string text(static_cast<const char *>(content), static_cast<std::size_t>(size));
      std::free(content);
      if (apply_live_values(state, text, now)) publish_sensor(state, ReportEffect::state);
    }
    if (devices && held.count(id) == 0) continue;
    bool online = true;
    if (state.interval > 0) {
      const std::time_t seen = std::max(state.last_seen, started_);
      online = now - seen <= static_cast<std::time_t>(config_.offline_intervals) * state.interval + kOfflineGrace;
    }
    const auto daemon = daemon_offline_.find(id);
    if (daemon != daemon_offline_.end() && daemon->second) online = false;
    publish_availability(state, online);
  }
  if (draining_resends_ && now >= resend_deadline_) {
    // The library did not resend what was in flight: hand those rows over again, in order.
    std::int64_t first = handed_ + 1;
    for (const auto &[mid, row] : in_flight_) first = std::min(first, row);
    counters_.resent += static_cast<std::int64_t>(in_flight_.size());
    in_flight_.clear();
    handed_ = first - 1;
    draining_resends_ = false;
  }
  pump();
}

void Agent::pump() {
  if (!connected_ || draining_resends_) return;
  while (in_flight_.size() < kWindow) {
    const std::vector<QueuedMessage> rows = outbox_->after(handed_, kWindow - in_flight_.size());
    if (rows.empty()) return;
    for (const QueuedMessage &row : rows) {
      const auto mid = link_->publish(row.topic, row.payload, row.retain);
      if (!mid) return;  // the connection just broke; the next connection goes on from here
      in_flight_[*mid] = row.id;
      handed_ = row.id;
    }
  }
}

void Agent::on_connected() {
  connected_ = true;
  ++counters_.connections;
  link_->subscribe(topics_.set_filter());
  link_->subscribe(topics_.request_filter());
  if (!topics_.discovery_prefix.empty()) link_->subscribe(topics_.discovery_status());
  link_->publish(topics_.bridge_state(), "online", true);
  if (const std::int64_t dropped = outbox_->dropped(); dropped > 0) {
    char text[96];
    std::snprintf(text, sizeof text, "{\"dropped\":%lld,\"queue_limit\":%lld}", static_cast<long long>(dropped),
                  static_cast<long long>(config_.queue_limit));
    queue(topics_.bridge_dropped(), text, false);
    outbox_->clear_dropped();
  }
  // After every (re)connection: the device list, every sensor's availability and its discovery
  // configs again, behind whatever waited in the queue.
  devices_sent_.clear();
  publish_devices();
  for (auto &[id, state] : sensors_) {
    const auto last = availability_.find(id);
    const bool online = state.present && (last == availability_.end() || last->second);
    availability_.erase(id);
    publish_availability(state, online);
    announced_.erase(id);
    announce(state);
  }
  if (!in_flight_.empty()) {
    draining_resends_ = true;
    resend_deadline_ = std::time(nullptr) + kResendPatience;
  }
  pump();
}

void Agent::handle_link_events() {
  for (LinkEvent &event : link_->take_events()) {
    switch (event.kind) {
      case LinkEvent::connected:
        on_connected();
        break;
      case LinkEvent::disconnected:
        connected_ = false;
        break;
      case LinkEvent::acknowledged: {
        const auto found = in_flight_.find(event.mid);
        if (found == in_flight_.end()) break;
        outbox_->remove(found->second);
        in_flight_.erase(found);
        ++counters_.delivered;
        if (draining_resends_ && in_flight_.empty()) draining_resends_ = false;
        break;
      }
      case LinkEvent::message:
        on_message(event.topic, event.payload);
        break;
    }
  }
  pump();
}

bool Agent::send_command(const std::string &event) {
  BlobBuffer message;
  if (bus_ == nullptr || !blobmsg_add_json_from_string(&message.buffer, event.c_str())) return false;
  if (ubus_send_event(bus_, "vorn_mgr", message.buffer.head) != UBUS_STATUS_OK) return false;
  ++counters_.commands;
  return true;
}

void Agent::answer(const std::string &topic, bool ok, const std::string &command, const std::string &reason) {
  const Json response(json_object_new_object());
  json_object_object_add(response.get(), "status", json_object_new_string(ok ? "sent" : "refused"));
  if (!command.empty()) json_object_object_add(response.get(), "command", json_tokener_parse(command.c_str()));
  if (!reason.empty()) json_object_object_add(response.get(), "reason", json_object_new_string(reason.c_str()));
  if (!ok) ++counters_.refused;
  link_->publish(topic, json_text(response.get()), false);
}

void Agent::on_message(const std::string &topic, const std::string &payload) {
  if (!topics_.discovery_prefix.empty() && topic == topics_.discovery_status()) {
    if (payload == "online")
      for (auto &[id, state] : sensors_) {
        announced_.erase(id);
        announce(state);
      }
    return;
  }
  const std::string request_prefix = topics_.base + "/bridge/request/";
  if (topic.rfind(request_prefix, 0) == 0) {
    const std::string command = topic.substr(request_prefix.size());
    CommandCheck check = check_bridge_request(command, payload, daemon_knows);
    if (check.ok && !send_command(check.event)) check = CommandCheck{false, check.event, "the bus did not take the command"};
    answer(topics_.bridge_response(command), check.ok, check.event, check.reason);
    return;
  }
  const std::string sensor_prefix = topics_.base + "/";
  if (topic.rfind(sensor_prefix, 0) == 0 && topic.size() == sensor_prefix.size() + 16 + 4 &&
      topic.compare(topic.size() - 4, 4, "/set") == 0) {
    const std::string id = topic.substr(sensor_prefix.size(), 16);
    if (!is_sensor_id(id)) return;
    const std::string upper = upper_sensor_id(id);
    CommandCheck check = check_set_request(upper, payload, daemon_knows);
    if (check.ok && !send_command(check.event)) check = CommandCheck{false, check.event, "the bus did not take the command"};
    answer(topics_.set_response(upper), check.ok, check.event, check.reason);
  }
}

std::string Agent::stats_document() {
  const Json stats(json_object_new_object());
  json_object *root = stats.get();
  json_object_object_add(root, "gateway_id", json_object_new_string(topics_.gateway_id.c_str()));
  json_object_object_add(root, "connected", json_object_new_boolean(connected_ ? 1 : 0));
  json_object_object_add(root, "connections", json_object_new_int64(counters_.connections));
  json_object_object_add(root, "reports", json_object_new_int64(counters_.reports));
  json_object_object_add(root, "queued", json_object_new_int64(counters_.queued));
  json_object_object_add(root, "delivered", json_object_new_int64(counters_.delivered));
  json_object_object_add(root, "waiting", json_object_new_int64(outbox_->size()));
  json_object_object_add(root, "in_flight", json_object_new_int64(static_cast<std::int64_t>(in_flight_.size())));
  json_object_object_add(root, "resent", json_object_new_int64(counters_.resent));
  json_object_object_add(root, "dropped", json_object_new_int64(outbox_->dropped()));
  json_object_object_add(root, "commands", json_object_new_int64(counters_.commands));
  json_object_object_add(root, "refused", json_object_new_int64(counters_.refused));
  std::int64_t present = 0;
  for (const auto &[id, state] : sensors_) present += state.present ? 1 : 0;
  json_object_object_add(root, "sensors", json_object_new_int64(present));
  return json_text(root);
}

}  // namespace mqtt_agent
