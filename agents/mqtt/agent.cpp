#include "agent.h"

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "blob_buffer.h"
#include "device_list.h"
#include "json.h"
#include "sensor_id.h"
#include "version.h"
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
// Seconds at start before messages count as waiting for an absent broker.
constexpr std::time_t kConnectPatience = 10;
// Link events handled before the loop looks at the bus again.
constexpr std::size_t kEventsPerTurn = 64;

void keep_reply(ubus_request *request, int, blob_attr *message) {
  auto *out = static_cast<Json *>(request->priv);
  if (*out != nullptr || message == nullptr) return;
  char *text = blobmsg_format_json(message, true);
  if (text != nullptr) *out = parse_json(text);
  std::free(text);
}

// What of a sensor must survive a crash at once: what names and describes its entities.
std::string lasting_part(const SensorState &sensor) {
  std::string text = sensor.present ? "1" : "0";
  for (const std::string *field : {&sensor.name, &sensor.model, &sensor.manufacturer, &sensor.firmware, &sensor.rf_firmware})
    text += "\n" + *field;
  for (const ChannelState &channel : sensor.channels) text += "\n" + channel.name + "\t" + channel.type_text + "\t" + channel.unit;
  return text;
}

}  // namespace

Agent::Agent(AgentConfig config, std::string gateway_id, std::unique_ptr<Outbox> outbox, std::string sensor_list_path)
    : config_(std::move(config)),
      outbox_(std::move(outbox)),
      sensor_list_(std::move(sensor_list_path)),
      requests_(config_.command_rate, config_.command_burst) {
  topics_.gateway_id = gateway_id;
  topics_.base = config_.base_topic + "/" + gateway_id;
  topics_.discovery_prefix = config_.discovery ? config_.discovery_prefix : "";
  started_ = std::time(nullptr);
  // What was known before a restart, so channel units and names are not lost with it.
  for (const auto &[id, saved] : outbox_->take_saved_sensors()) {
    SensorState state;
    if (id.empty() || !sensor_from_document(saved.document, state) || state.id != id) continue;
    state.present = saved.present;
    saved_[id] = std::hash<std::string>{}(lasting_part(state));
    sensors_[id] = std::move(state);
  }
}

bool Agent::start(ubus_context *bus, std::string &error) {
  bus_ = bus;
  const std::string client_id = config_.client_id.empty() ? "vorn_mqtt_" + topics_.gateway_id : config_.client_id;
  link_ = std::make_unique<MqttLink>(config_, client_id, topics_.bridge_state(), bridge_state_payload(false));
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
  outbox_->push(topic, payload, retain);
  ++counters_.queued;
}

void Agent::on_report(const std::string &envelope_text, std::time_t now) {
  ++counters_.reports;
  const Json envelope = parse_json(envelope_text);
  const auto id = string_member(envelope.get(), "ID");
  json_object *type = member(envelope.get(), "Type");
  const auto body = string_member(envelope.get(), "Body");
  if (!id || !is_sensor_id(*id) || type == nullptr || !json_object_is_type(type, json_type_int) || !body) return;
  const std::string sensor_id = upper_sensor_id(*id);
  const auto known = sensors_.find(sensor_id);
  const bool was_present = known != sensors_.end() && known->second.present;
  SensorState &state = sensor(sensor_id);
  const ReportEffect effect = apply_report(state, json_object_get_int(type), *body, now);
  if (effect == ReportEffect::joined && !was_present) publish_event("device_joined", state);
  publish_sensor(state, effect);
  pump();
}

void Agent::save(SensorState &state, const std::string &document) {
  const std::size_t lasting = std::hash<std::string>{}(lasting_part(state));
  const bool changed = saved_[state.id] != lasting;
  outbox_->save_sensor(state.id, document.empty() ? state_document(state, 0) : document, state.present, changed);
  if (changed) saved_[state.id] = lasting;
}

void Agent::publish_sensor(SensorState &state, ReportEffect effect) {
  if (effect == ReportEffect::none) return;
  if (effect != ReportEffect::left) state.present = true;
  const std::string document = state_document(state, outbox_->next_sequence());
  queue(topics_.sensor_state(state.id), document, config_.retain);
  save(state, document);
  if (effect == ReportEffect::left) {
    publish_event(removal_asked_.erase(state.id) != 0 ? "device_removed" : "device_leave", state);
    sensor_gone(state);
  } else {
    publish_availability(state, true);
    announce(state);
  }
  publish_devices();
}

void Agent::sensor_gone(SensorState &state) {
  state.present = false;
  publish_availability(state, false);
  for (const DiscoveryMessage &removal : discovery_removals(topics_, state)) queue(removal.topic, "", true);
  announced_.erase(state.id);
  save(state, "");
}

void Agent::publish_availability(SensorState &state, bool online) {
  const auto last = availability_.find(state.id);
  if (last != availability_.end() && last->second == online) return;
  availability_[state.id] = online;
  // Always retained: Home Assistant leaves an entity unavailable until it has one.
  queue(topics_.availability(state.id), online ? "online" : "offline", true);
}

void Agent::publish_event(const char *type, const SensorState &state) {
  const Json event(json_object_new_object());
  json_object_object_add(event.get(), "type", json_object_new_string(type));
  json_object *data = json_object_new_object();
  json_object_object_add(data, "friendly_name", json_object_new_string(display_name(state).c_str()));
  json_object_object_add(data, "ieee_address", json_object_new_string(state.id.c_str()));
  json_object_object_add(event.get(), "data", data);
  queue(topics_.bridge_event(), json_text(event.get()), false);
}

void Agent::announce(SensorState &state) {
  if (topics_.discovery_prefix.empty() || !state.present) return;
  // The configs follow from what describes the sensor: made again only when that changed.
  const std::size_t digest = std::hash<std::string>{}(lasting_part(state));
  const auto before = announced_.find(state.id);
  if (before != announced_.end() && before->second.digest == digest) return;
  const std::vector<DiscoveryMessage> configs = discovery_configs(topics_, state);
  Announced now{digest, {}};
  for (const DiscoveryMessage &config : configs) now.topics.push_back(config.topic);
  // Entities that are gone lose their configs.
  if (before != announced_.end())
    for (const std::string &topic : before->second.topics)
      if (std::find(now.topics.begin(), now.topics.end(), topic) == now.topics.end()) queue(topic, "", true);
  for (const DiscoveryMessage &config : configs) queue(config.topic, config.payload, true);
  announced_[state.id] = std::move(now);
}

void Agent::publish_devices() { devices_due_ = true; }

void Agent::send_devices() {
  // At most once a tick: the list of every sensor is made again only then.
  if (!devices_due_) return;
  devices_due_ = false;
  std::vector<const SensorState *> present;
  for (const auto &[id, state] : sensors_)
    if (state.present) present.push_back(&state);
  const std::string document = devices_document(present);
  const std::size_t digest = std::hash<std::string>{}(document);
  if (devices_sent_ && digest == *devices_sent_) return;
  devices_sent_ = digest;
  queue(topics_.bridge_devices(), document, config_.retain);
}

void Agent::publish_info() {
  const std::time_t now = std::time(nullptr);
  const Json info(json_object_new_object());
  json_object *root = info.get();
  json_object_object_add(root, "version", json_object_new_string(kAgentVersion));
  json_object_object_add(root, "gateway_id", json_object_new_string(topics_.gateway_id.c_str()));
  const bool joining = permit_join_until_ > now;
  json_object_object_add(root, "permit_join", json_object_new_boolean(joining ? 1 : 0));
  json_object_object_add(root, "permit_join_timeout",
                         joining ? json_object_new_int64(static_cast<std::int64_t>(permit_join_until_ - now)) : nullptr);
  // The configuration without secrets: no user name, password or key.
  json_object *config = json_object_new_object();
  auto text = [&](const char *key, const std::string &value) { json_object_object_add(config, key, json_object_new_string(value.c_str())); };
  auto number = [&](const char *key, std::int64_t value) { json_object_object_add(config, key, json_object_new_int64(value)); };
  if (config_.socket.empty()) {
    text("host", config_.host);
    number("port", config_.port);
  } else {
    text("socket", config_.socket);
  }
  text("protocol", config_.protocol == 5 ? "5" : "3.1.1");
  json_object_object_add(config, "tls", json_object_new_boolean(config_.tls ? 1 : 0));
  text("ca_file", config_.ca_file);
  text("cert_file", config_.cert_file);
  json_object_object_add(config, "login", json_object_new_boolean(config_.username.empty() ? 0 : 1));
  number("keepalive", config_.keepalive);
  number("qos", config_.qos);
  json_object_object_add(config, "retain", json_object_new_boolean(config_.retain ? 1 : 0));
  text("base_topic", config_.base_topic);
  json_object_object_add(config, "discovery", json_object_new_boolean(config_.discovery ? 1 : 0));
  text("discovery_prefix", config_.discovery_prefix);
  number("queue_limit", config_.queue_limit);
  text("queue_file", config_.queue_file);
  number("offline_intervals", config_.offline_intervals);
  number("max_payload", static_cast<std::int64_t>(config_.inbound_limit));
  number("command_rate", config_.command_rate);
  number("command_burst", config_.command_burst);
  text("bus_name", config_.bus_name);
  text("forward_to", config_.forward_to);
  json_object_object_add(root, "config", config);
  const std::string document = json_text(root);
  if (document == info_sent_) return;
  info_sent_ = document;
  queue(topics_.bridge_info(), document, config_.retain);
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
  std::map<std::string, bool> offline;
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
    offline[*sensor_id] = string_member(entry, "availability").value_or("") == "offline" && recent;
    // Every frame counts as seen, also those that make no report.
    const auto found = sensors_.find(*sensor_id);
    if (found == sensors_.end()) continue;
    found->second.last_seen = std::max(found->second.last_seen, seen);
    const auto before = daemon_offline_.find(*sensor_id);
    if (offline[*sensor_id] && (before == daemon_offline_.end() || !before->second) && found->second.present)
      publish_event("device_not_active", found->second);
  }
  daemon_offline_ = std::move(offline);
}

void Agent::tick(std::time_t now) {
  if (now - daemon_view_at_ >= 2) {
    daemon_view_at_ = now;
    read_daemon_view(now);
  }
  std::map<std::string, bool> held;
  const auto devices = read_device_list();
  daemon_running_ = devices.has_value();
  if (devices) {
    for (const DeviceSeen &seen : *devices) {
      held[seen.id] = true;
      const bool joined = sensors_.count(seen.id) == 0 || !sensors_[seen.id].present;
      SensorState &state = sensor(seen.id);
      const bool is_new = !state.present || state.short_address.empty();
      state.short_address = seen.short_address;
      if (state.model.empty()) state.model = seen.model;
      if (state.firmware.empty()) state.firmware = seen.firmware;
      if (state.rf_firmware.empty()) state.rf_firmware = seen.rf_firmware;
      if (state.manufacturer.empty()) state.manufacturer = seen.manufacturer;
      if (seen.rssi != 0) state.rssi = seen.rssi;
      if (seen.interval > 0) state.interval = seen.interval;
      // The name the gateway stores for the sensor: sensorlist keeps it across the daemon's
      // restarts, the DeviceList once the sensor has described itself.
      const auto stored = sensor_list_.find(seen.id);
      const std::string name = stored && !stored->name.empty() ? stored->name : seen.name;
      const bool renamed = !name.empty() && name != state.name;
      if (renamed) state.name = name;
      if (joined) publish_event("device_joined", state);
      if (is_new) {
        state.present = true;
        if (state.last_seen == 0) state.last_seen = now;
        publish_sensor(state, ReportEffect::state);
      } else if (renamed) {
        save(state, "");
        announce(state);
        publish_devices();
      }
    }
    for (auto &[id, state] : sensors_) {
      if (!state.present || held.count(id) != 0) continue;
      // Removed through the agent: gone for good. Otherwise the daemon no longer holds it (gone
      // silent and removed): offline.
      if (removal_asked_.erase(id) != 0) {
        publish_event("device_removed", state);
        sensor_gone(state);
        publish_devices();
      } else {
        publish_availability(state, false);
      }
    }
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
  if (const std::int64_t dropped = link_->inbound_dropped(); dropped > inbound_dropped_logged_) {
    std::fprintf(stderr, "mqtt_agent: %lld inbound messages dropped: they came faster than they were handled\n",
                 static_cast<long long>(dropped - inbound_dropped_logged_));
    inbound_dropped_logged_ = dropped;
  }
  if (connected_) {
    if (permit_join_until_ != 0 && permit_join_until_ <= now) permit_join_until_ = 0;
    publish_info();
    // Every drop is told, once the broker can hear it.
    const OutboxCounters &counts = outbox_->counters();
    if (counts.dropped > 0) {
      char text[160];
      std::snprintf(text, sizeof text, "{\"dropped\":%lld,\"total\":%lld,\"queue_limit\":%lld}", static_cast<long long>(counts.dropped),
                    static_cast<long long>(counts.dropped_total), static_cast<long long>(config_.queue_limit));
      outbox_->clear_dropped();
      queue(topics_.bridge_dropped(), text, false);
    }
  }
  if (outbox_->generation() != file_generation_) {
    // A fresh queue file: it holds no sensor yet.
    file_generation_ = outbox_->generation();
    saved_.clear();
    for (auto &[id, state] : sensors_) save(state, "");
  }
  // At start the broker gets a few seconds before messages count as waiting for it.
  const bool starting = counters_.connections == 0 && last_problem_.empty() && now - started_ < kConnectPatience;
  send_devices();
  outbox_->maintain(connected_ || starting, now);
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

void Agent::on_problem(const std::string &reason) {
  last_problem_ = reason;
  // Each reason once until the next connection: the library retries, and a refusal may come with
  // a second line (a TLS error and its detail) each time.
  if (!problems_told_.insert(reason).second) return;
  std::fprintf(stderr, "mqtt_agent: broker %s: %s\n",
               config_.socket.empty() ? (config_.host + ":" + std::to_string(config_.port)).c_str() : config_.socket.c_str(),
               reason.c_str());
}

void Agent::on_connected() {
  connected_ = true;
  outbox_->set_connected(true);
  ++counters_.connections;
  if (!problems_told_.empty()) std::fprintf(stderr, "mqtt_agent: connected to the broker again\n");
  last_problem_.clear();
  problems_told_.clear();
  clearing_.clear();  // echoes of clearings on the last connection do not come any more
  link_->subscribe(topics_.set_filter());
  link_->subscribe(topics_.get_filter());
  link_->subscribe(topics_.request_filter());
  if (!topics_.discovery_prefix.empty()) link_->subscribe(topics_.discovery_status());
  link_->publish(topics_.bridge_state(), bridge_state_payload(true), true);
  // After every (re)connection: the info, the device list, the gateway's and every sensor's
  // availability and discovery configs again, behind whatever waited in the queue.
  info_sent_.clear();
  publish_info();
  devices_sent_.reset();
  publish_devices();
  if (!topics_.discovery_prefix.empty()) {
    const DiscoveryMessage gateway = gateway_discovery_config(topics_);
    queue(gateway.topic, gateway.payload, true);
  }
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
  for (LinkEvent &event : link_->take_events(kEventsPerTurn)) {
    switch (event.kind) {
      case LinkEvent::connected:
        on_connected();
        break;
      case LinkEvent::disconnected:
        connected_ = false;
        outbox_->set_connected(false);
        break;
      case LinkEvent::problem:
        on_problem(event.payload);
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
        on_message(event);
        break;
    }
  }
  pump();
}

std::string Agent::stats_document() {
  const Json stats(json_object_new_object());
  json_object *root = stats.get();
  auto number = [&](const char *key, std::int64_t value) { json_object_object_add(root, key, json_object_new_int64(value)); };
  json_object_object_add(root, "gateway_id", json_object_new_string(topics_.gateway_id.c_str()));
  json_object_object_add(root, "connected", json_object_new_boolean(connected_ ? 1 : 0));
  json_object_object_add(root, "last_error", json_object_new_string(last_problem_.c_str()));
  number("connections", counters_.connections);
  number("reports", counters_.reports);
  number("queued", counters_.queued);
  number("delivered", counters_.delivered);
  number("waiting", outbox_->size());
  number("in_memory", outbox_->in_memory());
  number("in_flight", static_cast<std::int64_t>(in_flight_.size()));
  number("resent", counters_.resent);
  const OutboxCounters &queue_counts = outbox_->counters();
  number("dropped", queue_counts.dropped_total);
  number("unsaved", queue_counts.unsaved);
  number("write_failures", queue_counts.write_failures);
  number("queue_bytes_written", QueueFile::bytes_written());
  json_object_object_add(root, "queue_file_ok", json_object_new_boolean(outbox_->file_ok() ? 1 : 0));
  number("commands", counters_.commands);
  number("refused", counters_.refused);
  number("rate_limited", counters_.rate_limited);
  number("oversized", counters_.oversized);
  number("inbound_dropped", link_ ? link_->inbound_dropped() : 0);
  number("retained_cleared", counters_.retained_cleared);
  std::int64_t present = 0;
  for (const auto &[id, state] : sensors_) present += state.present ? 1 : 0;
  number("sensors", present);
  return json_text(root);
}

}  // namespace mqtt_agent
