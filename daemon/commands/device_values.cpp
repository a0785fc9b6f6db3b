#include <cstring>

#include "commands/command_keys.h"
#include "commands/command_support.h"
#include "core/byte_order.h"
#include "core/link_frame.h"
#include "shared/request_builders.h"

namespace vorn::commands {

namespace {

using core::write_le16;
using core::write_le32;

// Flag word of the set-device-value request: integer, real value and block present.
constexpr std::uint16_t kSetDeviceValueFlags = 7;
constexpr std::int32_t kFixedInteger = 1234567890;
constexpr double kFixedReal = 12.34;
constexpr char kFixedBlock[] = "Just Do It!";
constexpr std::uint16_t kGetDeviceValue = 7;
constexpr std::uint16_t kGetEventIntervalFlags = 1;
constexpr std::uint16_t kEventIntervalCommand = 1;

// Writes the sensor's 4 address digits at payload bytes 0..3. kNext when the value is not a
// string; kStop when it is refused or the sensor has no usable ShortAddress.
KeyOutcome address_sensor(const char *key, json_object *value, std::uint8_t *payload) {
  const char *ext_text = nullptr;
  switch (read_sensor_id_value(key, value, &ext_text)) {
    case SensorIdValue::kNotString: return KeyOutcome::kNext;
    case SensorIdValue::kRefused: return KeyOutcome::kStop;
    case SensorIdValue::kValid: break;
  }
  char digits[kAddressDigits + 1];
  if (!read_short_address_digits(ext_text, digits)) return KeyOutcome::kStop;
  std::memcpy(payload, digits, kAddressDigits);
  return KeyOutcome::kQueue;
}

}  // namespace

// The values are constants of the command: the cloud only chooses the sensor.
KeyResult set_dev_val(json_object *value, const CommandMessage &message) {
  const KeyOutcome outcome = address_sensor("SetDevVal", value, message.payload);
  if (outcome != KeyOutcome::kQueue) return {outcome, 0};
  std::uint8_t *p = write_le16(message.payload + kAddressDigits, kSetDeviceValueFlags);
  p = write_le32(p, static_cast<std::uint32_t>(kFixedInteger));
  std::memcpy(p, &kFixedReal, sizeof kFixedReal);  // read back the same way by the transmit thread
  p += sizeof kFixedReal;
  p = write_le16(p, sizeof kFixedBlock - 1);
  std::memcpy(p, kFixedBlock, sizeof kFixedBlock - 1);
  return queue_request(core::APP_SET_DEVICE_VALUE_REQ);
}

KeyResult get_dev_val(json_object *value, const CommandMessage &message) {
  const KeyOutcome outcome = address_sensor("GetDevVal", value, message.payload);
  if (outcome != KeyOutcome::kQueue) return {outcome, 0};
  write_le16(message.payload + kAddressDigits, kGetDeviceValue);
  return queue_request(core::APP_GET_DEVICE_VALUE_REQ);
}

// A get-sensor request record; its integer value stays 0.
KeyResult get_event_timer(json_object *value, const CommandMessage &message) {
  const KeyOutcome outcome = address_sensor("GetEventTimer", value, message.payload);
  if (outcome != KeyOutcome::kQueue) return {outcome, 0};
  std::uint8_t *p = write_le16(message.payload + kAddressDigits, kGetEventIntervalFlags);
  write_le16(p, kEventIntervalCommand);
  return queue_request(core::APP_GET_SENSOR_REQ);
}

}  // namespace vorn::commands
