#include "sensor_frames.h"

#include <cmath>

#include "frames_to_daemon.h"

namespace sim {

const char *sensor_command_name(std::uint8_t command) {
  switch (command) {
    case kConfigRsp: return "ConfigRsp";
    case kSensorData: return "SensorData";
    case kSetDeviceValueRsp: return "SetDeviceValueResponse";
    case kGetDeviceValueRsp: return "GetDeviceValueResponse";
    case kSetSensorRsp: return "SetSensorResponse";
    case kGetSensorRsp: return "GetSensorResponse";
    case kDataFrameRequest: return "DataFrameRequest";
    case kIdentificationRequest: return "IdentificationRequest";
    case kDisassociationResponse: return "DisassociationResponse";
    case kSensorStatusRequest: return "SensorStatusRequest";
    default: return "Unknown";
  }
}

namespace {

constexpr std::uint16_t kErrorWord = 0x7F80;

std::uint32_t float_bits(double value) {
  const float f = static_cast<float>(value);
  std::uint32_t bits = 0;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

// Whole part and ten-thousandths of a non-negative value.
void split_fixed(double magnitude, std::uint32_t &whole, std::uint32_t &fraction) {
  whole = static_cast<std::uint32_t>(std::floor(magnitude));
  fraction = static_cast<std::uint32_t>(std::lround((magnitude - whole) * 10000.0));
  if (fraction >= 10000) {
    ++whole;
    fraction -= 10000;
  }
}

ChannelWords float_words(double value) {
  const std::uint32_t bits = float_bits(value);
  return {static_cast<std::uint16_t>(bits & 0xFFFF), static_cast<std::uint16_t>(bits >> 16)};
}

std::uint8_t tenths(double value) { return static_cast<std::uint8_t>(static_cast<std::int8_t>(std::lround(value * 10))); }

std::uint16_t status_word(const Condition &condition) { return condition.battery > 0 ? 1 : 0; }

void fill_head(CommonHead &head, std::uint8_t command, const Identity &identity, const Condition &condition,
               std::uint16_t frame_ctl) {
  head.rssi = static_cast<std::uint8_t>(condition.rssi);
  head.command = command;
  std::memcpy(head.ext_address, identity.ext_address, 8);
  put_le16(head.frame_ctl, frame_ctl);
}

// FrameCtl of the frames whose head carries no optional blocks: any non-zero value does.
constexpr std::uint16_t kPlainFrameCtl = 0x0001;

void append_u16(Bytes &out, unsigned value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void append_u32(Bytes &out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF));
}

}  // namespace

ChannelWords encode_channel_value(ValueFormat format, double value, std::uint8_t type) {
  if (format == ValueFormat::kFloat) return float_words(value);
  // Type 4 channels are never negative on the wire: the whole part may use all 16 bits.
  if (type == 4 && value < 0) value = 0;
  std::uint32_t whole = 0, fraction = 0;
  if (value >= 0 || type == 4) {
    split_fixed(value, whole, fraction);
    const std::uint32_t limit = type == 4 ? 0xFEFF : 0x7F7F;  // stay clear of the error words
    if (whole > limit) whole = limit, fraction = 0;
    return {static_cast<std::uint16_t>(whole), static_cast<std::uint16_t>(fraction)};
  }
  if (format == ValueFormat::kFixed) {
    const ChannelWords words = float_words(value);  // high word has bit 15 set: read as a pattern
    return {words.b, words.a};
  }
  // Firmware 1.1.0.2 writes a negative value as the two's complements of its whole part and of its
  // ten-thousandths. A whole part of 0 cannot be told from a positive value, so values between -1
  // and 0 go out as -1.
  split_fixed(-value, whole, fraction);
  if (whole == 0) whole = 1, fraction = 0;
  if (whole > 0x7FFF) whole = 0x7FFF;
  return {static_cast<std::uint16_t>((65536 - whole) & 0xFFFF), static_cast<std::uint16_t>((65536 - fraction) & 0xFFFF)};
}

ChannelWords encode_channel_error(ValueFormat format, std::uint16_t code) {
  if (format == ValueFormat::kFloat) return {code, kErrorWord};
  return {kErrorWord, code};
}

std::uint32_t version_number(const std::uint8_t *version) {
  return static_cast<std::uint32_t>(version[0]) << 24 | static_cast<std::uint32_t>(version[1]) << 16 |
         static_cast<std::uint32_t>(version[2]) << 8 | version[3];
}

std::uint16_t pack_date(int year, int month, int day) {
  return static_cast<std::uint16_t>(((year - 2000) & 0x7F) << 9 | (month & 0x0F) << 5 | (day & 0x1F));
}

Bytes encode_identification_request(const Identity &identity, const Condition &condition, const std::uint8_t *tag,
                                    std::uint16_t event_interval, const std::vector<ChannelReading> &channels) {
  IdentificationFixed fixed{};
  fill_head(fixed.head, kIdentificationRequest, identity, condition, kPlainFrameCtl);
  std::memcpy(fixed.sensor_tag, tag, 8);
  put_le16(fixed.status_word, status_word(condition));
  put_le16(fixed.battery_raw, static_cast<unsigned>(std::lround(condition.battery * 10)));
  put_text(fixed.manufacturer, identity.manufacturer);
  put_text(fixed.model_name, identity.model_name);
  put_text(fixed.model_number, identity.model_number);
  std::memcpy(fixed.model_version, identity.model_version, 4);
  std::memcpy(fixed.sensor_version, identity.sensor_version, 4);
  put_le16(fixed.manufacturer_date, identity.manufacturer_date);
  put_le16(fixed.calibration_date, identity.calibration_date);
  put_text(fixed.device_name, identity.device_name);
  fixed.op_voltage = tenths(condition.op_voltage);
  fixed.op_temperature = static_cast<std::uint8_t>(condition.op_temperature);
  put_le16(fixed.event_interval, event_interval);
  fixed.channel_count = static_cast<std::uint8_t>(channels.size());
  Bytes out;
  append_layout(out, fixed);
  for (const ChannelReading &reading : channels) {
    IdentificationChannel channel{};
    put_text(channel.name, reading.name);
    channel.type = reading.type;
    put_text(channel.unit, reading.unit);
    append_layout(out, channel);
  }
  append_layout(out, IdentificationTrailer{});
  return out;
}

Bytes encode_sensor_data(const Identity &identity, const Condition &condition, const SensorDataFrame &frame,
                         const std::vector<ChannelReading> &channels) {
  CommonHead head{};
  fill_head(head, kSensorData, identity, condition, frame.frame_ctl);
  Bytes out;
  append_layout(out, head);
  // Optional blocks the gateway skips, in FrameCtl bit order.
  static const std::size_t kSkipped[] = {4, 2, 4, 48, 8};
  for (int bit = 0; bit < 5; ++bit)
    if (frame.frame_ctl & (1u << bit)) out.resize(out.size() + kSkipped[bit], 0);
  if (frame.frame_ctl & kSensorBlockBit) {
    SensorBlockHead block{};
    unsigned extension = status_word(condition);
    if (frame.format == ValueFormat::kFloat) extension |= kFloatWordsBit;
    put_le16(block.extension_status, extension);
    put_le16(block.battery, static_cast<unsigned>(std::lround(condition.battery * 10)));
    block.low_power = frame.low_power ? 1 : 0;
    block.channel_count = static_cast<std::uint8_t>(channels.size());
    append_layout(out, block);
    const std::size_t blocks = frame.blocks != 0 ? frame.blocks : channels.size();
    for (std::size_t i = 0; i < blocks; ++i) {
      SensorDataChannel channel{};
      if (i < channels.size()) {
        const ChannelReading &reading = channels[i];
        put_text(channel.unit, reading.unit);
        channel.type = reading.type;
        const ChannelWords words = reading.error != 0 ? encode_channel_error(frame.format, reading.error)
                                                      : encode_channel_value(frame.format, reading.value, reading.type);
        put_le16(channel.word_a, words.a);
        put_le16(channel.word_b, words.b);
      }
      append_layout(out, channel);
    }
    if (frame.frame_ctl == kLiveFrameCtl || frame.frame_ctl == kExtendedFrameCtl) append_u32(out, frame.device_time);
  }
  if (frame.frame_ctl & kOperatingBit)
    append_layout(out, OperatingBlock{static_cast<std::uint8_t>(condition.op_temperature), tenths(condition.op_voltage)});
  // The gateway reads a ReportType byte only from frames long enough for it (link header and
  // indication head counted): carry one exactly then, as live data.
  const std::size_t total_with_byte = 4 + sizeof(DataRxHead) + out.size() + 1;
  if ((frame.frame_ctl == kLiveFrameCtl && total_with_byte > 76) ||
      (frame.frame_ctl == kExtendedFrameCtl && total_with_byte > 132))
    out.push_back(0);
  return out;
}

Bytes encode_data_frame_request(const Identity &identity, const Condition &condition, const std::uint8_t *tag,
                                bool no_alarm, const std::vector<DataRecord> &records) {
  DataFrameRequestHead head{};
  fill_head(head.head, kDataFrameRequest, identity, condition, kPlainFrameCtl);
  std::memcpy(head.sensor_tag, tag, 8);
  put_le16(head.status_word, status_word(condition));
  put_le16(head.battery_raw, static_cast<unsigned>(std::lround(condition.battery * 10)));
  head.no_alarm = no_alarm ? 1 : 0;
  head.op_voltage = tenths(condition.op_voltage);
  head.op_temperature = static_cast<std::uint8_t>(condition.op_temperature);
  head.record_count = static_cast<std::uint8_t>(records.size());
  head.channel_count = static_cast<std::uint8_t>(records.empty() ? 0 : records.front().channels.size());
  Bytes out;
  append_layout(out, head);
  for (const DataRecord &record : records) {
    append_u32(out, record.device_time);
    for (std::size_t i = 0; i < head.channel_count; ++i) {
      const ChannelReading &reading = record.channels[i];
      const ChannelWords words = reading.error != 0 ? encode_channel_error(ValueFormat::kFloat, reading.error)
                                                    : encode_channel_value(ValueFormat::kFloat, reading.value, reading.type);
      append_u16(out, words.a);
      append_u16(out, words.b);
    }
  }
  return out;
}

Bytes encode_sensor_status_request(const Identity &identity, const Condition &condition, const std::uint8_t *tag) {
  SensorStatusRequest request{};
  fill_head(request.head, kSensorStatusRequest, identity, condition, kPlainFrameCtl);
  std::memcpy(request.sensor_tag, tag, 8);
  Bytes out;
  append_layout(out, request);
  return out;
}

Bytes encode_disassociation_response(const Identity &identity, const Condition &condition) {
  CommonHead head{};
  fill_head(head, kDisassociationResponse, identity, condition, kPlainFrameCtl);
  Bytes out;
  append_layout(out, head);
  return out;
}

Bytes encode_config_rsp(const Identity &identity, const Condition &condition, std::uint16_t event_interval) {
  ConfigRspHead head{};
  head.rssi = static_cast<std::uint8_t>(condition.rssi);
  head.command = kConfigRsp;
  std::memcpy(head.model_version, identity.model_version, 4);
  std::memcpy(head.sensor_version, identity.sensor_version, 4);
  put_text(head.manufacturer, identity.manufacturer);
  Bytes out;
  append_layout(out, head);
  const std::uint32_t version = version_number(identity.model_version);
  std::uint8_t text[32];
  if (version > 0x00090005) {
    put_text(text, identity.model_name);
    append_bytes(out, text, sizeof text);
  }
  put_text(text, identity.model_number);
  append_bytes(out, text, sizeof text);
  append_u16(out, identity.calibration_date);
  if (version > 0x00090003) append_u16(out, event_interval);
  return out;
}

namespace {

void append_fixed(Bytes &out, double value) {
  std::uint32_t whole = 0, fraction = 0;
  split_fixed(value < 0 ? 0 : value, whole, fraction);
  append_u16(out, whole & 0xFFFF);
  append_u16(out, fraction);
}

void append_text(Bytes &out, const std::string &text) {
  const std::size_t length = text.size() < 128 ? text.size() : 128;
  append_u16(out, static_cast<unsigned>(length));
  append_bytes(out, reinterpret_cast<const std::uint8_t *>(text.data()), length);
}

Bytes value_head(std::uint8_t command, std::int8_t rssi, std::uint16_t flags) {
  ValueResponseHead head{};
  head.rssi = static_cast<std::uint8_t>(rssi);
  head.command = command;
  put_le16(head.flags, flags);
  Bytes out;
  append_layout(out, head);
  return out;
}

}  // namespace

Bytes encode_get_sensor_rsp(std::int8_t rssi, const ValueAnswer &answer) {
  Bytes out = value_head(kGetSensorRsp, rssi, answer.flags);
  if (answer.flags & 1) append_u16(out, answer.command);
  if (answer.flags & 2) append_u32(out, static_cast<std::uint32_t>(answer.integer));
  if (answer.flags & 4) append_fixed(out, answer.real);
  if (answer.flags & 8) append_text(out, answer.text);
  return out;
}

Bytes encode_get_device_value_rsp(std::int8_t rssi, const ValueAnswer &answer) {
  Bytes out = value_head(kGetDeviceValueRsp, rssi, answer.flags);
  if (answer.flags & 1) append_u32(out, static_cast<std::uint32_t>(answer.integer));
  if (answer.flags & 2) append_fixed(out, answer.real);
  if (answer.flags & 4) append_text(out, answer.text);
  return out;
}

Bytes encode_set_response(std::uint8_t command, std::int8_t rssi, std::uint16_t flags) {
  return value_head(command, rssi, flags);
}

}  // namespace sim
