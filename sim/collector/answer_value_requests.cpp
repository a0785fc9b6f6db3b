// Get and set requests that the collector relays to a sensor: the sensor's own settings (event
// interval, clock) and its device values. The sensor answers each with its response frame.
#include <ctime>

#include "frames_from_daemon.h"
#include "request_handlers.h"

namespace sim {

namespace {

constexpr std::uint16_t kEventIntervalCommand = 1;
constexpr std::uint16_t kClockCommand = 4;
constexpr long kSensorEpoch = 946684800;

// The sensor a value request names, if it is in the network and can hear.
SimSensor *listening_sensor(Network &network, std::uint8_t api, const std::optional<ValueRequest> &request) {
  if (!request) {
    reject_request(network, api, "malformed");
    return nullptr;
  }
  SimSensor *sensor = find_sensor(network, request->short_address);
  if (sensor == nullptr || sensor->phase != SensorPhase::kJoined) {
    unreachable_sensor(network, api, request->short_address);
    return nullptr;
  }
  return sensor->silent ? nullptr : sensor;
}

}  // namespace

void answer_set_sensor(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length) {
  const auto request = decode_value_request(ValueRequestKind::kSetSensor, payload, length);
  SimSensor *sensor = listening_sensor(network, api, request);
  if (sensor == nullptr) return;
  const ValueFields &values = request->values;
  send_sensor_frame(*sensor, encode_set_response(kSetSensorRsp, static_cast<std::int8_t>(sensor->config.rssi), values.flags));
  if (!values.command || !values.integer) return;
  if (*values.command == kEventIntervalCommand) set_interval(*sensor, *values.integer);
  if (*values.command == kClockCommand)
    sensor->clock_offset = static_cast<long>(static_cast<std::uint32_t>(*values.integer)) -
                           (static_cast<long>(std::time(nullptr)) - kSensorEpoch);
}

void answer_get_sensor(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length) {
  const auto request = decode_value_request(ValueRequestKind::kGetSensor, payload, length);
  SimSensor *sensor = listening_sensor(network, api, request);
  if (sensor == nullptr) return;
  ValueAnswer answer;
  answer.flags = 1;  // the command value, and for the commands the sensor knows its integer value
  answer.command = request->values.command.value_or(0);
  if (answer.command == kEventIntervalCommand) answer.flags |= 2, answer.integer = sensor->interval;
  if (answer.command == kClockCommand) answer.flags |= 2, answer.integer = static_cast<std::int32_t>(sensor_clock(*sensor));
  send_sensor_frame(*sensor, encode_get_sensor_rsp(static_cast<std::int8_t>(sensor->config.rssi), answer));
}

void answer_set_device_value(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length) {
  const auto request = decode_value_request(ValueRequestKind::kSetDeviceValue, payload, length);
  SimSensor *sensor = listening_sensor(network, api, request);
  if (sensor == nullptr) return;
  const ValueFields &values = request->values;
  if (values.integer) sensor->device_integer = *values.integer;
  if (values.real) sensor->device_real = *values.real;
  if (values.block) sensor->device_text = *values.block;
  send_sensor_frame(*sensor,
                    encode_set_response(kSetDeviceValueRsp, static_cast<std::int8_t>(sensor->config.rssi), values.flags));
}

void answer_get_device_value(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length) {
  GetDeviceValueReq layout{};
  if (length != sizeof layout || !read_layout(payload, length, layout)) return reject_request(network, api, "malformed");
  SimSensor *sensor = find_sensor(network, le16(layout.short_address));
  if (sensor == nullptr || sensor->phase != SensorPhase::kJoined) return unreachable_sensor(network, api, le16(layout.short_address));
  if (sensor->silent) return;
  ValueAnswer answer;
  answer.flags = le16(layout.value) & 7;  // the value word names the values wanted, as the flag bits do
  answer.integer = sensor->device_integer;
  answer.real = sensor->device_real;
  answer.text = sensor->device_text;
  send_sensor_frame(*sensor, encode_get_device_value_rsp(static_cast<std::int8_t>(sensor->config.rssi), answer));
}

}  // namespace sim
