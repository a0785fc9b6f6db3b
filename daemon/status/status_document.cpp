#include "status/status_document.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/ext_address.h"

namespace vorn::status {

namespace {

using cloud::add_int;
using cloud::add_string;

std::uint32_t counter(const StatusInputs &in, std::uint32_t shared::StatusCounters::*member) {
  return in.counters == nullptr ? 0 : shared::load(in.counters->*member);
}

const char *collector_state_name(std::uint32_t state) {
  switch (static_cast<shared::CollectorState>(state)) {
    case shared::CollectorState::kRunning: return "running";
    case shared::CollectorState::kStarting: return "starting";
    default: return "stopped";
  }
}

int free_txq_slots(const shared::TxqSegment *txq) {
  if (txq == nullptr) return 0;
  int free = 0;
  for (const shared::TxqSlot &slot : txq->slots)
    free += std::atomic_ref<std::int32_t>(const_cast<std::int32_t &>(slot.state)).load() == shared::kSlotFree;
  return free;
}

bool entry_in_use(const shared::DeviceListEntry &entry) { return core::ext_address_is_set(entry.ExtAddress) != 0; }

int device_list_sensors(const shared::DeviceListSegment *list) {
  if (list == nullptr) return 0;
  int count = 0;
  for (int i = shared::kFirstShortAddress; i <= shared::kLastShortAddress; ++i) count += entry_in_use(list->entries[i]);
  return count;
}

json_object *collector_object(const StatusInputs &in) {
  json_object *collector = json_object_new_object();
  add_string(collector, "state", collector_state_name(counter(in, &shared::StatusCounters::collector_state)));
  add_string(collector, "link", counter(in, &shared::StatusCounters::link_up) != 0 ? "up" : "down");
  add_int(collector, "reconnects", counter(in, &shared::StatusCounters::reconnects));
  return collector;
}

json_object *frames_object(const StatusInputs &in) {
  json_object *frames = json_object_new_object();
  std::uint32_t handled = 0;
  for (std::uint32_t kind = 0; kind < shared::kFrameKindCount; ++kind) {
    const std::uint32_t count = in.counters == nullptr ? 0 : shared::load(in.counters->frames[kind]);
    handled += count;
    add_int(frames, shared::frame_kind_name(static_cast<shared::FrameKind>(kind)), count);
  }
  // Frames a handler refused (length, API id): seen but not handled.
  const std::uint32_t received = counter(in, &shared::StatusCounters::frames_received);
  add_int(frames, "rejected", received > handled ? received - handled : 0);
  return frames;
}

// The sensor's short address text, its model and firmware from the entry's texts.
json_object *sensor_object(const StatusInputs &in, const shared::DeviceListEntry &entry, int index) {
  json_object *sensor = json_object_new_object();
  char id[core::kExtAddressTextSize];
  core::ext_address_text(entry.ExtAddress, id);
  char short_text[8];
  std::snprintf(short_text, sizeof short_text, "%04X", static_cast<unsigned>(index));
  const std::uint32_t last_seen = in.counters == nullptr ? 0 : shared::load(in.counters->last_seen[index]);
  const bool not_active = in.counters != nullptr && shared::load(in.counters->not_active[index]) != 0;
  const auto model = entry.ModelName[0] != '\0' ? cloud::bounded_text(entry.ModelName) : cloud::bounded_text(entry.ModelNumber);
  add_string(sensor, "id", id);
  add_string(sensor, "short", short_text);
  add_string(sensor, "model", model);
  add_string(sensor, "firmware", cloud::bounded_text(entry.SensorVersion));
  add_string(sensor, "radio_firmware", cloud::bounded_text(entry.ModelVersion));
  add_int(sensor, "interval", entry.EventInterval);
  // Rounded to centivolts: the float's own digits (3.5999999) say nothing more.
  const double battery = std::isfinite(entry.battery) ? std::round(double{entry.battery} * 100) / 100 : 0.0;
  json_object_object_add(sensor, "battery", json_object_new_double(battery));
  add_int(sensor, "rssi", entry.rssi);
  add_int(sensor, "last_seen", last_seen);
  add_string(sensor, "report_state", report_state_name(entry.report_state));
  add_string(sensor, "availability",
             availability(last_seen, not_active, entry.EventInterval, in.now_unix, counter(in, &shared::StatusCounters::started_unix)));
  return sensor;
}

}  // namespace

const char *availability(std::uint32_t last_seen, bool not_active, std::int32_t interval, std::uint32_t now_unix,
                         std::uint32_t started_unix) {
  if (not_active) return "offline";
  if (interval <= 0) return "online";
  const std::uint32_t since = last_seen != 0 ? last_seen : started_unix;
  if (now_unix <= since) return "online";
  const std::uint64_t allowed = std::uint64_t{kMissedIntervals} * static_cast<std::uint32_t>(interval);
  return now_unix - since > allowed ? "offline" : "online";
}

const char *report_state_name(std::uint8_t report_state) {
  switch (report_state) {
    case 0: return "joined";
    case 1: return "reported";
    case 2: return "channels changed";
    default: return "unknown";
  }
}

cloud::JsonPtr status_document(const StatusInputs &in) {
  cloud::JsonPtr document(json_object_new_object());
  json_object *root = document.get();
  add_string(root, "version", kDaemonVersion);
  add_int(root, "uptime", in.uptime);
  add_string(root, "gateway_id", in.gateway_id != nullptr ? in.gateway_id : "");
  json_object_object_add(root, "collector", collector_object(in));
  add_int(root, "starts", counter(in, &shared::StatusCounters::collector_starts));
  add_int(root, "start_count", in.start_count);
  json_object *sensors = json_object_new_object();
  add_int(sensors, "device_list", device_list_sensors(in.device_list));
  add_int(sensors, "sensorlist", in.sensorlist_sensors);
  add_int(sensors, "limit", kSensorLimit);
  json_object_object_add(root, "sensors", sensors);
  add_int(root, "txq_free", free_txq_slots(in.txq));
  json_object_object_add(root, "frames", frames_object(in));
  add_int(root, "handlers", in.counters == nullptr ? 0 : shared::handlers_at_work(*in.counters));
  json_object *reports = json_object_new_object();
  add_int(reports, "made", counter(in, &shared::StatusCounters::reports_made));
  add_int(reports, "failed", counter(in, &shared::StatusCounters::reports_failed));
  add_int(reports, "timed_out", counter(in, &shared::StatusCounters::reports_timed_out));
  json_object_object_add(root, "reports", reports);
  add_int(root, "command_restarts", counter(in, &shared::StatusCounters::command_restarts));
  json_object *waiting = json_object_new_object();
  add_int(waiting, "handlers", in.answers_held);
  add_int(waiting, "limit", in.answer_limit);
  add_int(waiting, "requests_not_answered", counter(in, &shared::StatusCounters::requests_not_answered));
  json_object_object_add(root, "answered_records", waiting);
  json_object *commands = json_object_new_object();
  add_int(commands, "waiting", counter(in, &shared::StatusCounters::commands_waiting));
  add_int(commands, "merged", counter(in, &shared::StatusCounters::commands_merged));
  add_int(commands, "dropped", counter(in, &shared::StatusCounters::commands_dropped));
  json_object_object_add(root, "commands", commands);
  add_int(root, "sensorlist_commits_lost", counter(in, &shared::StatusCounters::commits_lost));
  add_int(root, "pending_downloads", in.pending_downloads);
  return document;
}

cloud::JsonPtr sensors_document(const StatusInputs &in) {
  cloud::JsonPtr document(json_object_new_object());
  json_object *sensors = json_object_new_array();
  if (in.device_list != nullptr) {
    for (int i = shared::kFirstShortAddress; i <= shared::kLastShortAddress; ++i) {
      // A copy: handlers may be writing the entry, and the reply must not mix two states of it.
      shared::DeviceListEntry entry;
      std::memcpy(&entry, &in.device_list->entries[i], sizeof entry);
      if (entry_in_use(entry)) json_object_array_add(sensors, sensor_object(in, entry, i));
    }
  }
  json_object_object_add(document.get(), "sensors", sensors);
  return document;
}

}  // namespace vorn::status
