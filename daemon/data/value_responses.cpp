// The sensor's answers to the daemon's get and set requests: a flag word, then the values it
// announces, each right after the previous one.
#include <cstdio>
#include <cstring>

#include "core/log_line.h"
#include "data/frame_handlers.h"

namespace vorn::data {

namespace {

constexpr std::size_t kMaxStringValue = 128;
constexpr std::uint16_t kEventIntervalCommand = 1;

enum class ValueKind { kCommand, kInteger, kFloat, kString };

struct ValueFields {
  std::uint16_t flags = 0;
  bool has_command = false, has_integer = false, has_float = false, has_string = false;
  std::uint16_t command = 0;
  std::int32_t integer = 0;
  double float_value = 0;
  char string[kMaxStringValue + 1] = {};  // always terminated, also at the full 128 bytes
};

// Flag bit i announces the value kinds[i].
constexpr ValueKind kDeviceValueKinds[] = {ValueKind::kInteger, ValueKind::kFloat, ValueKind::kString};
constexpr ValueKind kSensorValueKinds[] = {ValueKind::kCommand, ValueKind::kInteger, ValueKind::kFloat,
                                           ValueKind::kString};

// Reads the flag word and the values it announces. False, with one log line, when the frame does
// not hold them or a string value is longer than 128 bytes.
template <std::size_t N>
bool read_values(const SensorFrame &frame, const ValueKind (&kinds)[N], ValueFields &fields) {
  FrameReader reader(frame.app, frame.app_size, 2);
  fields.flags = reader.u16();
  for (std::size_t bit = 0; bit < N && reader.ok(); ++bit) {
    if (!(fields.flags & (1u << bit))) continue;
    switch (kinds[bit]) {
      case ValueKind::kCommand:
        fields.has_command = true;
        fields.command = reader.u16();
        break;
      case ValueKind::kInteger:
        fields.has_integer = true;
        fields.integer = static_cast<std::int32_t>(reader.u32());
        break;
      case ValueKind::kFloat: {
        fields.has_float = true;
        const std::uint16_t whole = reader.u16();
        fields.float_value = whole + reader.u16() / 10000.0;
        break;
      }
      case ValueKind::kString: {
        fields.has_string = true;
        const std::uint16_t length = reader.u16();
        if (reader.ok() && length > kMaxStringValue) {
          refuse_frame(frame, "string value longer than 128 bytes");
          return false;
        }
        if (const std::uint8_t *text = reader.take(length)) std::memcpy(fields.string, text, length);
        break;
      }
    }
  }
  if (!reader.ok()) refuse_frame(frame, "frame shorter than the values its flags announce");
  return reader.ok();
}

void print_received(const char *what, std::uint16_t short_address) {
  core::log_line("Receive %s from 0x%04x\n", what,
                 short_address);
}

}  // namespace

void handle_set_device_value_response(SensorFrame &frame) {
  print_received("Set Device Value Respones", frame.short_address);
}

void handle_get_device_value_response(SensorFrame &frame) {
  ValueFields fields;
  if (!read_values(frame, kDeviceValueKinds, fields)) return;
  print_received("Get Device Value Respones", frame.short_address);
  if (fields.has_integer) std::printf("Integer Value: %d\n", fields.integer);
  if (fields.has_float) std::printf("Float Value: %f\n", fields.float_value);
  if (fields.has_string) std::printf("String Value: %s\n", fields.string);
}

void handle_set_sensor_response(SensorFrame &frame) {
  FrameReader reader(frame.app, frame.app_size, 2);
  reader.u16();  // the flag word: nothing follows that the daemon uses
  if (!reader.ok()) return refuse_frame(frame, "frame shorter than its flag word");
  print_received("Set Sensor Response", frame.short_address);
}

void handle_get_sensor_response(SensorFrame &frame) {
  ValueFields fields;
  if (!read_values(frame, kSensorValueKinds, fields)) return;
  print_received("Get Sensor Respones", frame.short_address);
  if (fields.has_command) std::printf("\tCMD Value: 0x%04X\n", fields.command);
  if (fields.has_integer) std::printf("\tInteger Value: %d\n", fields.integer);
  if (fields.has_float) std::printf("\tFloat Value: %f\n", fields.float_value);
  if (fields.has_string) std::printf("\tString Value: %s\n", fields.string);
  if (fields.has_command && fields.command == kEventIntervalCommand && fields.has_integer)
    with_entry(frame, [&](shared::DeviceListEntry &entry) { entry.EventInterval = fields.integer; });
}

}  // namespace vorn::data
