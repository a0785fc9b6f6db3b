// The paced stream of SensorData frames (control "pace"): the network as a whole sends at a fixed
// rate, whatever the sensors' own intervals, so a benchmark can load the gateway evenly.
#include <cmath>

#include "network.h"

namespace sim {

namespace {

// The next sensor that reports live readings, from `pacing.next_sensor` on and round the network;
// null when none does. Sensors that buffer their records are left out: they send no SensorData.
SimSensor *next_reporting_sensor(Network &network) {
  PacedStream &pacing = network.pacing;
  auto it = network.sensors.lower_bound(pacing.next_sensor);
  for (std::size_t seen = 0; seen < network.sensors.size(); ++seen, ++it) {
    if (it == network.sensors.end()) it = network.sensors.begin();
    if (!reports_readings(*it->second) || it->second->config.frames != FrameKind::kLive) continue;
    pacing.next_sensor = static_cast<std::uint16_t>(it->first + 1);
    return it->second.get();
  }
  return nullptr;
}

void send_paced_frame(Network &network, double due_at) {
  PacedStream &pacing = network.pacing;
  ++pacing.scheduled;
  SimSensor *sensor = next_reporting_sensor(network);
  if (sensor == nullptr) return;
  std::vector<ChannelReading> readings = take_readings(*sensor);
  const double now = monotonic_seconds();
  if (!readings.empty()) readings[0].value = std::round((now - pacing.started_at) * 1000 * 100) / 100;
  if (!send_sensor_data(*sensor, readings)) return;  // counted as dropped
  ++pacing.sent;
  const double late_ms = (now - due_at) * 1000;
  if (late_ms > kPacedLateMs) ++pacing.late;
  pacing.max_late_ms = std::max(pacing.max_late_ms, late_ms);
}

// Sends every frame that is due (frame k is due k / rate seconds after the start) and waits for
// the next one. A loop that fell behind catches up at once, and the lateness shows in the counts.
void on_pacing_timer(uloop_timeout *timeout) {
  Network &network = *reinterpret_cast<NetworkTimer *>(timeout)->network;
  PacedStream &pacing = network.pacing;
  if (pacing.rate <= 0) return;
  const double now = monotonic_seconds();
  const auto due = static_cast<std::uint64_t>(std::floor((now - pacing.started_at) * pacing.rate)) + 1;
  while (pacing.scheduled < due) send_paced_frame(network, pacing.started_at + static_cast<double>(pacing.scheduled) / pacing.rate);
  const double next_at = pacing.started_at + static_cast<double>(pacing.scheduled) / pacing.rate;
  const double wait_ms = (next_at - monotonic_seconds()) * 1000;
  uloop_timeout_set(timeout, wait_ms <= 0 ? 0 : static_cast<int>(std::ceil(wait_ms)));
}

}  // namespace

void pace_sensor_data(Network &network, double rate) {
  PacedStream &pacing = network.pacing;
  uloop_timeout_cancel(&pacing.timer.timeout);
  pacing.rate = 0;
  if (!(rate > 0)) return;  // stopped: the counts of the stream that ran stay readable
  const std::uint16_t next_sensor = pacing.next_sensor;
  pacing = PacedStream{};
  pacing.next_sensor = next_sensor;
  pacing.rate = rate;
  pacing.started_at = monotonic_seconds();
  pacing.timer.network = &network;
  pacing.timer.timeout.cb = on_pacing_timer;
  uloop_timeout_set(&pacing.timer.timeout, 0);
}

json_object *pacing_json(const Network &network) {
  const PacedStream &pacing = network.pacing;
  json_object *object = json_object_new_object();
  json_object_object_add(object, "Rate", json_object_new_double(pacing.rate));
  json_object_object_add(object, "StartedAt", json_object_new_double(pacing.started_at));
  json_object_object_add(object, "Scheduled", json_object_new_int64(static_cast<std::int64_t>(pacing.scheduled)));
  json_object_object_add(object, "Sent", json_object_new_int64(static_cast<std::int64_t>(pacing.sent)));
  json_object_object_add(object, "Late", json_object_new_int64(static_cast<std::int64_t>(pacing.late)));
  json_object_object_add(object, "MaxLateMs", json_object_new_double(pacing.max_late_ms));
  return object;
}

}  // namespace sim
