#include "gateway_model.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace web {

namespace {

std::string text_of(json_object *object) {
  const char *text = json_object_to_json_string_ext(object, JSON_C_TO_STRING_PLAIN);
  return text != nullptr ? text : "null";
}

// A number written with the digits a reading carries, not the binary expansion of its double.
// Kept points are floats: 7 digits is what they hold.
json_object *number_json(double value, int digits = 10) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*g", digits, value);
  return json_object_new_double_s(value, text);
}

json_object *value_json(const std::optional<double> &value, bool known) {
  if (!known) return nullptr;
  if (!value || !std::isfinite(*value)) return json_object_new_string("NaN");
  return number_json(*value);
}

// The moment of a reading: its own base time when that is within a day of ours (a sensor whose
// clock is off would otherwise scatter its points), else when it was seen.
std::uint32_t reading_time(double base_time_ms, double now_ms) {
  return static_cast<std::uint32_t>((std::fabs(base_time_ms - now_ms) < 24.0 * 3600 * 1000 ? base_time_ms : now_ms) / 1000);
}

std::uint32_t seconds(double ms) { return static_cast<std::uint32_t>(ms / 1000); }

}  // namespace

void GatewayModel::emit(const std::string &type, std::string data, bool logged) {
  if (logged && data.size() > 2)  // when it happened, for the list of recent events
    data = "{\"time\":" + std::to_string(static_cast<std::int64_t>(now_ms_ / 1000)) + "," + data.substr(1);
  Event event{next_seq_++, type, std::move(data), logged};
  if (logged) {
    logged_.push_back(event);
    if (logged_.size() > kLoggedEvents) logged_.pop_front();
  }
  stream_.push_back(std::move(event));
  if (stream_.size() > kStreamEvents) stream_.pop_front();
}

void GatewayModel::track_sensor(SensorView &sensor, Tracked &tracked, double now_ms, bool first_update) {
  if (tracked.first_seen_ms == 0) {
    tracked.first_seen_ms = now_ms;
    if (!first_update) emit("joined", "{\"id\":\"" + sensor.id + "\",\"short\":\"" + sensor.short_address + "\"}", true);
  }
  const std::size_t count = sensor.channels.size();
  tracked.history.resize(std::max(tracked.history.size(), count));
  tracked.alarms.resize(std::max(tracked.alarms.size(), count), false);
  tracked.names.resize(tracked.history.size());
  tracked.units.resize(tracked.history.size());
  tracked.last_logged.resize(tracked.history.size(), HistoryPoint{0, 0});
  tracked.logged_error.resize(tracked.history.size(), false);
  if (!sensor.reading.empty() && sensor.reading != tracked.reading) {
    tracked.reading = sensor.reading;
    tracked.reading_seen_ms = now_ms;
    const std::uint32_t at = reading_time(sensor.reading_time_ms, now_ms);
    tracked.reading_at = at;
    for (std::size_t i = 0; i < count; ++i)
      if (sensor.channels[i].value && std::isfinite(*sensor.channels[i].value))
        tracked.history[i].add(HistoryPoint{at, static_cast<float>(*sensor.channels[i].value)}, seconds(now_ms));
  }
  // A logging sensor's records, each at its own time: into the plots where they belong, and the
  // newest of each channel as its value. Records dated more than a day from now (a sensor whose
  // clock is off) are left out.
  if (!sensor.logged.empty() && sensor.logged != tracked.logged && sensor.logged_reading) {
    tracked.logged = sensor.logged;
    tracked.reading_seen_ms = now_ms;
    const LiveReading &records = *sensor.logged_reading;
    for (std::size_t i = 0; i < records.channels.size() && i < count; ++i) {
      for (const LivePoint &point : records.channels[i].points) {
        const double at_ms = records.base_time_ms + point.offset_s * 1000;
        if (!std::isfinite(at_ms) || std::fabs(at_ms - now_ms) > 24.0 * 3600 * 1000) continue;
        const auto at = static_cast<std::uint32_t>(at_ms / 1000);
        const bool valid = point.value && std::isfinite(*point.value);
        if (valid) tracked.history[i].insert(HistoryPoint{at, static_cast<float>(*point.value)}, seconds(now_ms));
        if (at >= tracked.last_logged[i].time) {
          tracked.last_logged[i] = HistoryPoint{at, valid ? static_cast<float>(*point.value) : 0.0f};
          tracked.logged_error[i] = !valid;
        }
      }
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    tracked.names[i] = sensor.channels[i].name;
    tracked.units[i] = sensor.channels[i].unit;
  }
  // Availability: the daemon's word when it gives one; otherwise online until kMissedIntervals
  // intervals pass without a new reading (counted from when vorn_web first saw the sensor).
  if (sensor.availability.empty()) {
    const double since = tracked.reading_seen_ms != 0 ? tracked.reading_seen_ms : tracked.first_seen_ms;
    const double interval_ms = (sensor.interval > 0 ? sensor.interval : 60) * 1000.0;
    const bool online = sensor.in_device_list && now_ms - since <= kMissedIntervals * interval_ms + 2000;
    sensor.availability = online ? "online" : "offline";
  }
  if (sensor.last_seen == 0 && tracked.reading_seen_ms != 0)
    sensor.last_seen = static_cast<std::int64_t>(tracked.reading_seen_ms / 1000);
  const std::string who = "\"id\":\"" + sensor.id + "\",\"short\":\"" + sensor.short_address + "\"";
  if (sensor.availability != tracked.availability) {
    if (!tracked.availability.empty() || sensor.availability == "offline")
      emit("availability", "{" + who + ",\"availability\":\"" + sensor.availability + "\"}", true);
    tracked.availability = sensor.availability;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (sensor.channels[i].alarm == tracked.alarms[i]) continue;
    tracked.alarms[i] = sensor.channels[i].alarm;
    const Json name(json_object_new_string(sensor.channels[i].name.c_str()));
    emit("alarm", "{" + who + ",\"channel\":" + std::to_string(i) + ",\"name\":" + text_of(name.get()) +
                      ",\"state\":\"" + (tracked.alarms[i] ? "raised" : "cleared") + "\"}",
         true);
  }
  // Without the daemon's counts, a sensor's first report set is the report seen.
  if (sensor.report_state == "reported" && !tracked.report_state.empty() && tracked.report_state != "reported" &&
      reports_made_ < 0)
    emit("report", "{" + who + ",\"what\":\"report set\"}", true);
  tracked.report_state = sensor.report_state;
}

void GatewayModel::track_reports(json_object *status) {
  json_object *reports = member(status, "reports");
  if (reports == nullptr) return;
  const long long made = int_member(reports, "made", 0), failed = int_member(reports, "failed", 0);
  if (reports_made_ >= 0 && (made > reports_made_ || failed > reports_failed_))
    emit("report",
         "{\"made\":" + std::to_string(made) + ",\"failed\":" + std::to_string(failed) +
             ",\"new_made\":" + std::to_string(std::max(0LL, made - reports_made_)) +
             ",\"new_failed\":" + std::to_string(std::max(0LL, failed - reports_failed_)) + "}",
         true);
  reports_made_ = made;
  reports_failed_ = failed;
}

void GatewayModel::update(GatewayReading reading, double now_ms) {
  std::lock_guard lock(mutex_);
  now_ms_ = now_ms;
  const bool first_update = !updated_once_;
  updated_once_ = true;
  const Json list(json_object_new_array());
  std::map<std::string, bool> present;
  for (SensorView &sensor : reading.sensors) {
    Tracked &tracked = sensors_[sensor.id];
    present[sensor.id] = true;
    track_sensor(sensor, tracked, now_ms, first_update);
    json_object *row = json_object_new_object();
    json_object_object_add(row, "id", json_object_new_string(sensor.id.c_str()));
    json_object_object_add(row, "name", json_object_new_string(sensor.name.c_str()));
    json_object_object_add(row, "short", json_object_new_string(sensor.short_address.c_str()));
    json_object_object_add(row, "model", json_object_new_string(sensor.model.c_str()));
    json_object_object_add(row, "firmware", json_object_new_string(sensor.firmware.c_str()));
    json_object_object_add(row, "interval", json_object_new_int(sensor.interval));
    json_object_object_add(row, "battery", number_json(sensor.battery));
    json_object_object_add(row, "rssi", json_object_new_int(sensor.rssi));
    json_object_object_add(row, "last_seen", json_object_new_int64(sensor.last_seen));
    json_object_object_add(row, "report_state", json_object_new_string(sensor.report_state.c_str()));
    json_object_object_add(row, "availability", json_object_new_string(sensor.availability.c_str()));
    json_object_object_add(row, "low_battery", json_object_new_boolean(sensor.battery > 0 && sensor.battery < kLowBatteryVolts));
    json_object_object_add(row, "weak_signal", json_object_new_boolean(sensor.rssi != 0 && sensor.rssi < kWeakSignalDbm));
    bool alarm = false;
    json_object *channels = json_object_new_array();
    for (std::size_t i = 0; i < sensor.channels.size(); ++i) {
      const ChannelView &view = sensor.channels[i];
      alarm |= view.alarm;
      json_object *channel = json_object_new_object();
      json_object_object_add(channel, "name", json_object_new_string(view.name.c_str()));
      json_object_object_add(channel, "unit", json_object_new_string(view.unit.c_str()));
      // The newer of the live value and the last logged record; a channel in error (the
      // DeviceList's alarm flag) shows the error whatever value it last had.
      const HistoryPoint &logged = tracked.last_logged[i];
      const bool use_logged = logged.time != 0 && (sensor.reading.empty() || logged.time >= tracked.reading_at);
      std::optional<double> value = use_logged ? std::optional<double>(logged.value) : view.value;
      if (use_logged && tracked.logged_error[i]) value.reset();
      if (view.alarm) value.reset();
      const bool known = use_logged || !sensor.reading.empty() || view.alarm;
      json_object_object_add(channel, "value", value_json(value, known));
      json_object_object_add(channel, "error", json_object_new_boolean(known && !value));
      json_object_object_add(channel, "time", json_object_new_int64(use_logged ? logged.time : tracked.reading_at));
      json_object_object_add(channel, "logged", json_object_new_boolean(use_logged));
      json_object_object_add(channel, "alarm", json_object_new_boolean(view.alarm));
      json_object_object_add(channel, "points",
                             json_object_new_int64(static_cast<std::int64_t>(tracked.history[i].points().size())));
      json_object_array_add(channels, channel);
    }
    json_object_object_add(row, "alarm", json_object_new_boolean(alarm));
    json_object_object_add(row, "channels", channels);
    std::string text = text_of(row);
    if (text != tracked.row) emit("sensor", text, false);
    tracked.row = std::move(text);
    json_object_array_add(list.get(), row);
  }
  for (auto it = sensors_.begin(); it != sensors_.end();) {
    if (present.count(it->first) != 0) {
      ++it;
      continue;
    }
    emit("left", "{\"id\":\"" + it->first + "\"}", true);
    it = sensors_.erase(it);
  }
  if (reading.status == nullptr) reading.status = Json(json_object_new_object());
  track_reports(reading.status.get());
  json_object *about = json_object_new_object();
  json_object_object_add(about, "source", json_object_new_string(reading.from_bus ? "daemon" : "fallback"));
  json_object_object_add(about, "bus", json_object_new_string(reading.bus.c_str()));
  json_object_object_add(about, "units_map", json_object_new_string(reading.units_map.c_str()));
  json_object_object_add(about, "retry_ms", json_object_new_int(kRetryMs));
  json_object_object_add(reading.status.get(), "web", about);
  auto status = std::make_shared<const std::string>(text_of(reading.status.get()));
  if (*status != *status_text_) emit("status", *status, false);
  status_text_ = std::move(status);
  const Json document(json_object_new_object());
  json_object_object_add(document.get(), "sensors", json_object_get(list.get()));
  sensors_text_ = std::make_shared<const std::string>(text_of(document.get()));
  for (auto &[id, tracked] : sensors_)
    for (HistoryRing &ring : tracked.history) ring.expire(seconds(now_ms));
  changed_.notify_all();
}

std::shared_ptr<const std::string> GatewayModel::status_text() const {
  std::lock_guard lock(mutex_);
  return status_text_;
}

std::shared_ptr<const std::string> GatewayModel::sensors_text() const {
  std::lock_guard lock(mutex_);
  return sensors_text_;
}

HttpAnswer GatewayModel::history(const std::string &id, int channel) const {
  std::lock_guard lock(mutex_);
  auto it = sensors_.find(id);
  if (it == sensors_.end()) return {404, "{\"error\":\"unknown sensor\"}"};
  const Tracked &tracked = it->second;
  if (channel < 0 || static_cast<std::size_t>(channel) >= tracked.history.size())
    return {400, "{\"error\":\"bad channel\",\"channels\":" + std::to_string(tracked.history.size()) + "}"};
  const Json document(json_object_new_object());
  json_object_object_add(document.get(), "id", json_object_new_string(id.c_str()));
  json_object_object_add(document.get(), "channel", json_object_new_int(channel));
  json_object_object_add(document.get(), "name", json_object_new_string(tracked.names[channel].c_str()));
  json_object_object_add(document.get(), "unit", json_object_new_string(tracked.units[channel].c_str()));
  json_object *points = json_object_new_array();
  for (const HistoryPoint &point : tracked.history[channel].points()) {
    json_object *pair = json_object_new_array();
    json_object_array_add(pair, json_object_new_int64(static_cast<std::int64_t>(point.time) * 1000));
    json_object_array_add(pair, number_json(point.value, 7));
    json_object_array_add(points, pair);
  }
  json_object_object_add(document.get(), "points", points);
  return {200, text_of(document.get())};
}

std::vector<Event> GatewayModel::recent_events(std::uint64_t &newest) const {
  std::lock_guard lock(mutex_);
  newest = next_seq_ - 1;
  return std::vector<Event>(logged_.begin(), logged_.end());
}

std::vector<Event> GatewayModel::wait_events(std::uint64_t &cursor, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return stopped_ || next_seq_ - 1 > cursor; });
  std::vector<Event> events;
  if (stopped_) return events;
  for (const Event &event : stream_)
    if (event.seq > cursor) events.push_back(event);
  cursor = next_seq_ - 1;
  return events;
}

std::uint64_t GatewayModel::newest_event() const {
  std::lock_guard lock(mutex_);
  return next_seq_ - 1;
}

std::uint64_t GatewayModel::wait_newer(std::uint64_t seen, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return stopped_ || next_seq_ - 1 > seen; });
  return next_seq_ - 1;
}

std::uint64_t GatewayModel::queue_command(PageCommand command) {
  std::lock_guard lock(mutex_);
  commands_.emplace_back(next_command_, std::move(command));
  return next_command_++;
}

std::vector<std::pair<std::uint64_t, PageCommand>> GatewayModel::take_commands() {
  std::lock_guard lock(mutex_);
  return std::exchange(commands_, {});
}

void GatewayModel::command_outcome(std::uint64_t number, const PageCommand &command, bool done, const std::string &text) {
  std::lock_guard lock(mutex_);
  const Json data(json_object_new_object());
  json_object_object_add(data.get(), "command", json_object_new_int64(static_cast<std::int64_t>(number)));
  json_object_object_add(data.get(), "kind", json_object_new_string(command.kind.c_str()));
  if (!command.id.empty()) json_object_object_add(data.get(), "id", json_object_new_string(command.id.c_str()));
  json_object_object_add(data.get(), "state", json_object_new_string(done ? "done" : "failed"));
  json_object_object_add(data.get(), "result", json_object_new_string(text.c_str()));
  emit("command", text_of(data.get()), true);
  changed_.notify_all();
}

bool GatewayModel::knows_sensor(const std::string &id) const {
  std::lock_guard lock(mutex_);
  return sensors_.count(id) != 0;
}

void GatewayModel::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
}

bool GatewayModel::wait_first_update(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return updated_once_; });
}

bool GatewayModel::stopped() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

}  // namespace web
