// What a simulated sensor does on its own: join, identify itself, measure on its interval, send
// live or buffered readings, fall silent, leave.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "frames_to_daemon.h"
#include "network.h"

namespace sim {

namespace {

constexpr std::uint32_t kSensorEpoch = 946684800;  // 2000-01-01 00:00:00 UTC
constexpr std::size_t kMaxBufferedRecords = 8;
constexpr unsigned kStatusRequestEvery = 10;  // ticks between Sensor Status Requests
constexpr int kFirstReportDelayMs = 2000;     // after a join, so the gateway has recorded it
constexpr double kBatteryDrainPerDay = 0.05;  // volts per simulated day
constexpr std::size_t kAwaitedTags = 16;

double phase_of(const ChannelState &channel, double now) { return 2 * M_PI * now / channel.config.period; }

// A small, repeatable wobble so that consecutive readings differ even on flat curves.
double wobble(std::uint16_t short_address, std::size_t channel, unsigned tick) {
  const unsigned seed = (short_address * 7919u + static_cast<unsigned>(channel) * 104729u + tick * 2654435761u) >> 7;
  return ((seed % 2001u) / 1000.0 - 1.0) * 0.02;
}

void on_tick(uloop_timeout *timeout);

bool identifies(const SimSensor &sensor) { return sensor.config.style == SensorStyle::kIdentifying; }

SensorDataFrame live_frame(const SimSensor &sensor) {
  SensorDataFrame frame;
  frame.frame_ctl = sensor.config.extended_frame ? kExtendedFrameCtl : kLiveFrameCtl;
  if (identifies(sensor)) {
    frame.format = sensor.config.fixed_point ? ValueFormat::kFixed : ValueFormat::kFloat;
    frame.blocks = sensor.channels.size();
  } else {
    frame.format = ValueFormat::kFixedOld;
    frame.blocks = 4;  // this firmware always sends four channel blocks
  }
  frame.low_power = sensor.battery < 2.6;
  frame.device_time = sensor_clock(sensor);
  return frame;
}

void send_data_frame_request(SimSensor &sensor) {
  std::uint8_t tag[8];
  new_tag(sensor, kDataFrameResponse, tag);
  // Only the requests still awaited can be answered: forget what the others carried.
  const auto &awaited = sensor.awaited_tags[kDataFrameResponse];
  std::erase_if(sensor.carried_until, [&](const auto &carried) {
    return std::find(awaited.begin(), awaited.end(), carried.first) == awaited.end();
  });
  std::array<std::uint8_t, 8> key;
  std::memcpy(key.data(), tag, 8);
  sensor.carried_until[key] = sensor.first_buffered + sensor.buffered.size();
  send_sensor_frame(sensor, encode_data_frame_request(sensor.identity, sensor_condition(sensor), tag,
                                                      sensor.config.logged, sensor.buffered));
}

void send_status_request(SimSensor &sensor) {
  std::uint8_t tag[8];
  new_tag(sensor, kSensorStatusResponse, tag);
  send_sensor_frame(sensor, encode_sensor_status_request(sensor.identity, sensor_condition(sensor), tag));
}

}  // namespace

void measure_and_report(SimSensor &sensor) {
  if (sensor.config.frames == FrameKind::kLive) {
    send_sensor_data(sensor, take_readings(sensor));
    return;
  }
  sensor.buffered.push_back(DataRecord{sensor_clock(sensor), take_readings(sensor)});
  ++sensor.records.measured;
  if (sensor.buffered.size() > kMaxBufferedRecords) {
    sensor.buffered.erase(sensor.buffered.begin());
    ++sensor.first_buffered;
    ++sensor.records.discarded;
  }
  if (sensor.buffered.size() >= static_cast<std::size_t>(sensor.config.records)) send_data_frame_request(sensor);
}

namespace {

void tick(SimSensor &sensor) {
  Network &network = *sensor.network;
  if (sensor.phase == SensorPhase::kWaitingToJoin) {
    if (network.link < 0) return schedule_tick(sensor, 1000);
    sensor_join(sensor, false);
    return schedule_tick(sensor, kFirstReportDelayMs);
  }
  if (sensor.phase != SensorPhase::kJoined) return;
  if (network.paused) return schedule_tick(sensor, 1000);
  ++sensor.ticks;
  sensor.battery = std::max(0.0, sensor.config.battery - kBatteryDrainPerDay * simulated_seconds(network) / 86400.0);
  schedule_tick(sensor, real_ms(network, sensor.interval));
  if (sensor.silent) {
    ++sensor.missed_ticks;
    if (sensor.missed_ticks >= static_cast<unsigned>(network.config.not_active_after) && !sensor.reported_not_active) {
      sensor.reported_not_active = send_to_daemon(
          network, encode_not_active_ind(sensor.config.short_address, sensor.config.ext_address),
          to_daemon_api_name(APP_DEVICE_NOTACTIVE_UPDATE_IND));
    }
    return;
  }
  sensor.missed_ticks = 0;
  sensor.reported_not_active = false;
  // A sensor of the later firmware waits for its Identification Response before it reports,
  // asking again on every interval.
  if (identifies(sensor) && !sensor.identified) return send_identification(sensor);
  measure_and_report(sensor);
  if (identifies(sensor) && sensor.ticks % kStatusRequestEvery == 0) send_status_request(sensor);
}

void on_tick(uloop_timeout *timeout) { tick(*reinterpret_cast<SensorTimer *>(timeout)->sensor); }

}  // namespace

bool reports_readings(const SimSensor &sensor) {
  return sensor.phase == SensorPhase::kJoined && !sensor.silent && (!identifies(sensor) || sensor.identified);
}

bool send_sensor_data(SimSensor &sensor, const std::vector<ChannelReading> &readings) {
  return send_sensor_frame(sensor, encode_sensor_data(sensor.identity, sensor_condition(sensor), live_frame(sensor), readings));
}

void schedule_tick(SimSensor &sensor, int delay_ms) {
  sensor.tick.sensor = &sensor;
  sensor.tick.timeout.cb = on_tick;
  uloop_timeout_set(&sensor.tick.timeout, delay_ms);
}

std::uint32_t sensor_clock(const SimSensor &sensor) {
  return static_cast<std::uint32_t>(static_cast<long long>(std::time(nullptr)) - kSensorEpoch + sensor.clock_offset);
}

Condition sensor_condition(const SimSensor &sensor) {
  Condition condition;
  condition.rssi = static_cast<std::int8_t>(sensor.config.rssi);
  condition.battery = std::round(sensor.battery * 10) / 10;
  condition.op_temperature = static_cast<std::int8_t>(sensor.config.op_temperature);
  condition.op_voltage = sensor.config.op_voltage;
  return condition;
}

std::vector<ChannelReading> take_readings(const SimSensor &sensor) {
  const double now = simulated_seconds(*sensor.network);
  std::vector<ChannelReading> readings;
  for (std::size_t i = 0; i < sensor.channels.size(); ++i) {
    const ChannelState &channel = sensor.channels[i];
    ChannelReading reading;
    reading.name = channel.config.name;
    reading.type = channel.config.type;
    reading.unit = channel.config.unit;
    reading.error = channel.error;
    reading.value = channel.fixed_value ? *channel.fixed_value
                                        : channel.config.base + channel.config.amplitude * std::sin(phase_of(channel, now)) +
                                              wobble(sensor.config.short_address, i, sensor.ticks);
    reading.value = std::round(reading.value * 100) / 100;
    readings.push_back(reading);
  }
  return readings;
}

void new_tag(SimSensor &sensor, std::uint8_t reply_command, std::uint8_t *tag) {
  const std::uint32_t counter = ++sensor.tag_counter;
  const std::array<std::uint8_t, 8> value{static_cast<std::uint8_t>(sensor.config.short_address & 0xFF),
                                          static_cast<std::uint8_t>(sensor.config.short_address >> 8),
                                          static_cast<std::uint8_t>(counter & 0xFF),
                                          static_cast<std::uint8_t>((counter >> 8) & 0xFF),
                                          static_cast<std::uint8_t>((counter >> 16) & 0xFF),
                                          static_cast<std::uint8_t>((counter >> 24) & 0xFF),
                                          0x5A,
                                          reply_command};
  // A reply may come late: the gateway may hold a Data Frame Request up to 9 s while the sensor's
  // identification is still being handled, and a sensor that reports every second sends nine more
  // meanwhile. The tags of the last kAwaitedTags requests of each kind are still accepted.
  auto &awaited = sensor.awaited_tags[reply_command];
  if (awaited.size() >= kAwaitedTags) awaited.erase(awaited.begin());
  awaited.push_back(value);
  std::memcpy(tag, value.data(), 8);
}

void sensor_join(SimSensor &sensor, bool rejoined) {
  Network &network = *sensor.network;
  if (!send_to_daemon(network, encode_joined_ind(sensor.config.short_address, sensor.config.ext_address, rejoined),
                      to_daemon_api_name(APP_DEVICE_JOINED_IND)))
    return;
  sensor.phase = SensorPhase::kJoined;
  if (rejoined) sensor.identified = false;  // it introduces itself again
}

void sensor_leave(SimSensor &sensor) {
  Network &network = *sensor.network;
  const std::uint16_t short_address = sensor.config.short_address;
  send_to_daemon(network, encode_left_ind(sensor.config.ext_address), to_daemon_api_name(APP_DEVICE_LEFT_IND));
  drop_sensor(network, short_address);  // `sensor` is gone from here on
}

void send_identification(SimSensor &sensor) {
  std::uint8_t tag[8];
  new_tag(sensor, kIdentificationResponse, tag);
  send_sensor_frame(sensor, encode_identification_request(sensor.identity, sensor_condition(sensor), tag,
                                                          static_cast<std::uint16_t>(sensor.interval),
                                                          take_readings(sensor)));
}

void send_config_rsp(SimSensor &sensor) {
  send_sensor_frame(sensor, encode_config_rsp(sensor.identity, sensor_condition(sensor),
                                              static_cast<std::uint16_t>(sensor.interval)));
}

void set_interval(SimSensor &sensor, int interval) {
  if (interval <= 0 || interval > 65535 || interval == sensor.interval) return;
  sensor.interval = interval;
  schedule_tick(sensor, real_ms(*sensor.network, interval));
  // Later firmware announces a changed configuration with a fresh Identification Request; older
  // firmware tells it in the ConfigRsp the gateway asks for next.
  if (identifies(sensor) && sensor.identified) send_identification(sensor);
}

}  // namespace sim
