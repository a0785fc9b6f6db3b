#include "network.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "frames_to_daemon.h"

namespace sim {

double monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

double simulated_seconds(const Network &network) {
  return (monotonic_seconds() - network.started_at) * network.config.time_scale;
}

int real_ms(const Network &network, double simulated) {
  const double ms = simulated * 1000.0 / network.config.time_scale;
  return ms < 1 ? 1 : ms > 2e9 ? 2000000000 : static_cast<int>(ms);
}

namespace {

// The two letters that end the coprocessor's model name, from the radio configuration's region.
std::string region_letters(const std::string &region) {
  if (region.rfind("ETSI", 0) == 0) return "EU";
  return region.size() >= 2 ? region.substr(0, 2) : "US";
}

void on_permit_timeout(uloop_timeout *timeout) {
  Network *network = reinterpret_cast<NetworkTimer *>(timeout)->network;
  network->join_permit = false;
  set_collector_state(*network, kStateJoinClose);
}

}  // namespace

void init_network(Network &network, const NetworkConfig &config, const std::string &region) {
  network.config = config;
  network.region = region;
  network.started_at = monotonic_seconds();
  std::memcpy(network.identity.firmware_version, config.coprocessor.firmware_version, 4);
  network.identity.pan_id = config.coprocessor.pan_id;
  std::memcpy(network.identity.ext_address, config.coprocessor.ext_address, 8);
  network.identity.channel = config.coprocessor.channel;
  network.identity.model_name = config.coprocessor.model_name + "-" + region_letters(region);
  network.permit_timer.timeout.cb = on_permit_timeout;
  network.permit_timer.network = &network;
  double delay = 2;
  for (const SensorConfig &sensor : config.sensors) {
    std::string error;
    if (!add_sensor(network, sensor, delay, error)) std::fprintf(stderr, "collector: %s\n", error.c_str());
    delay += config.join_spacing;
  }
}

bool add_sensor(Network &network, const SensorConfig &config, double delay_s, std::string &error) {
  const std::string text = ext_address_text(config.ext_address);
  if (network.sensors.count(config.short_address) != 0 || find_sensor(network, text) != nullptr) {
    error = "sensor " + text + " or short address taken";
    return false;
  }
  auto sensor = std::make_unique<SimSensor>();
  sensor->network = &network;
  sensor->config = config;
  Identity &identity = sensor->identity;
  std::memcpy(identity.ext_address, config.ext_address, 8);
  identity.manufacturer = config.manufacturer;
  identity.model_name = config.model_name;
  identity.model_number = config.model_number;
  identity.device_name = config.device_name;
  std::memcpy(identity.model_version, config.model_version, 4);
  std::memcpy(identity.sensor_version, config.sensor_version, 4);
  identity.manufacturer_date = pack_date(2023, 5, 17);
  identity.calibration_date = pack_date(2024, 9, 2);
  sensor->interval = config.event_interval;
  sensor->clock_offset = config.clock_offset;
  sensor->battery = config.battery;
  sensor->silent = config.silent;
  for (const ChannelConfig &channel : config.channels) sensor->channels.push_back(ChannelState{channel, std::nullopt, 0});
  for (const FailedChannel &fault : config.failed)
    sensor->channels[static_cast<std::size_t>(fault.channel)].error = static_cast<std::uint16_t>(fault.code);
  SimSensor &added = *sensor;
  network.sensors[config.short_address] = std::move(sensor);
  schedule_tick(added, static_cast<int>(delay_s * 1000));
  return true;
}

SimSensor *find_sensor(Network &network, std::uint16_t short_address) {
  auto it = network.sensors.find(short_address);
  return it == network.sensors.end() ? nullptr : it->second.get();
}

SimSensor *find_sensor(Network &network, const std::string &ext_address_text_wanted) {
  std::uint8_t wanted[8];
  if (!parse_ext_address(ext_address_text_wanted, wanted)) return nullptr;
  for (auto &[address, sensor] : network.sensors)
    if (std::memcmp(sensor->config.ext_address, wanted, 8) == 0) return sensor.get();
  return nullptr;
}

void drop_sensor(Network &network, std::uint16_t short_address) {
  auto it = network.sensors.find(short_address);
  if (it == network.sensors.end()) return;
  uloop_timeout_cancel(&it->second->tick.timeout);
  uloop_timeout_cancel(&it->second->download_step.timeout);
  network.sensors.erase(it);
}

bool send_to_daemon(Network &network, const Bytes &frame, const std::string &kind) {
  if (network.link < 0) {
    ++network.counts.dropped;
    return false;
  }
  // One write per frame, as the daemon reads a frame as one header and one payload.
  std::size_t done = 0;
  while (done < frame.size()) {
    const ssize_t n = write(network.link, frame.data() + done, frame.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ++network.counts.dropped;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  ++network.counts.sent[kind];
  return true;
}

bool send_sensor_frame(SimSensor &sensor, const Bytes &application_frame) {
  const std::string kind = sensor_command_name(application_frame.size() > 1 ? application_frame[1] : 0);
  Network &network = *sensor.network;
  if (!send_to_daemon(network, encode_data_rx_ind(sensor.config.short_address, application_frame), kind)) return false;
  ++network.counts.sent[to_daemon_api_name(APP_DEVICE_DATA_RX_IND)];
  return true;
}

void set_collector_state(Network &network, std::uint8_t state) {
  network.state = state;
  send_to_daemon(network, encode_state_change(state), to_daemon_api_name(APP_COLLECTOR_STATE_CNG_IND));
}

void open_join_permit(Network &network, std::uint32_t duration_ms) {
  uloop_timeout_cancel(&network.permit_timer.timeout);
  network.join_permit = duration_ms != 0;
  set_collector_state(network, network.join_permit ? kStateJoinOpen : kStateJoinClose);
  // The permit lasts its duration in simulated time.
  if (network.join_permit) uloop_timeout_set(&network.permit_timer.timeout, real_ms(network, duration_ms / 1000.0));
}

void link_connected(Network &network, int fd) {
  network.link = fd;
  send_to_daemon(network, encode_nwk_info_ind(network.identity, kStateStarted), to_daemon_api_name(APP_NWK_INFO_IND));
  set_collector_state(network, kStateStarted);
}

void link_closed(Network &network) {
  if (network.link >= 0) close(network.link);
  network.link = -1;
}

}  // namespace sim
