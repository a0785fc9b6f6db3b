#include "frames_from_daemon.h"

namespace sim {

const char *from_daemon_api_name(std::uint8_t api) {
  switch (api) {
    case APP_GET_NWK_INFO_REQ: return "APP_GET_NWK_INFO_REQ";
    case APP_GET_DEVICE_ARRAY_REQ: return "APP_GET_DEVICE_ARRAY_REQ";
    case APP_SET_JOIN_PERMIT_REQ: return "APP_SET_JOIN_PERMIT_REQ";
    case APP_TX_DATA_REQ: return "APP_TX_DATA_REQ";
    case APP_REMOVE_DEVICE_REQ: return "APP_REMOVE_DEVICE_REQ";
    case APP_SENSOR_OAD_START_REQ: return "APP_SENSOR_OAD_START_REQ";
    case APP_OAD_FILE_REQ: return "APP_OAD_FILE_REQ";
    case APP_OAD_STATUS_REQ: return "APP_OAD_STATUS_REQ";
    case APP_SET_DEVICE_VALUE_REQ: return "APP_SET_DEVICE_VALUE_REQ";
    case APP_GET_DEVICE_VALUE_REQ: return "APP_GET_DEVICE_VALUE_REQ";
    case APP_SET_SENSOR_REQ: return "APP_SET_SENSOR_REQ";
    case APP_GET_SENSOR_REQ: return "APP_GET_SENSOR_REQ";
    case APP_DATA_FRAME_RSP: return "APP_DATA_FRAME_RSP";
    case APP_IDENTIFICATION_RSP: return "APP_IDENTIFICATION_RSP";
    case APP_MSP430_OAD_START_REQ: return "APP_MSP430_OAD_START_REQ";
    case APP_CANCEL_MSP430_OAD_REQ: return "APP_CANCEL_MSP430_OAD_REQ";
    case APP_REMOVE_DEVICE_NEW_REQ: return "APP_REMOVE_DEVICE_NEW_REQ";
    case APP_SENSOR_STATUS_RSP: return "APP_SENSOR_STATUS_RSP";
    case APP_CANCEL_OAD_REQ: return "APP_CANCEL_OAD_REQ";
    default: return "UNKNOWN";
  }
}

namespace {

// Reads value fields one after the other, never past the end.
class FieldReader {
 public:
  FieldReader(const std::uint8_t *data, std::size_t length) : data_(data), left_(length) {}
  bool take(std::size_t count, const std::uint8_t *&out) {
    if (count > left_) return false;
    out = data_;
    data_ += count;
    left_ -= count;
    return true;
  }
  std::size_t left() const { return left_; }

 private:
  const std::uint8_t *data_;
  std::size_t left_;
};

bool read_u16(FieldReader &reader, std::uint16_t &out) {
  const std::uint8_t *p = nullptr;
  if (!reader.take(2, p)) return false;
  out = le16(p);
  return true;
}

bool read_i32(FieldReader &reader, std::int32_t &out) {
  const std::uint8_t *p = nullptr;
  if (!reader.take(4, p)) return false;
  out = static_cast<std::int32_t>(le32(p));
  return true;
}

bool read_fixed(FieldReader &reader, double &out) {
  std::uint16_t whole = 0, fraction = 0;
  if (!read_u16(reader, whole) || !read_u16(reader, fraction)) return false;
  out = whole + fraction / 10000.0;
  return true;
}

bool read_block(FieldReader &reader, std::string &out) {
  std::uint16_t length = 0;
  const std::uint8_t *p = nullptr;
  if (!read_u16(reader, length) || !reader.take(length, p)) return false;
  out.assign(reinterpret_cast<const char *>(p), length);
  return true;
}

// Flag bits of each kind: which bit selects the command value, integer, fixed-point and block.
struct FlagLayout {
  int command_bit, integer_bit, real_bit, block_bit;
};

FlagLayout flag_layout(ValueRequestKind kind) {
  switch (kind) {
    case ValueRequestKind::kSetSensor: return {0, 1, 2, 3};
    case ValueRequestKind::kGetSensor: return {0, 0, 1, 2};  // bit 0: command value and integer together
    case ValueRequestKind::kSetDeviceValue: return {-1, 0, 1, 2};
  }
  return {-1, -1, -1, -1};
}

bool has(std::uint16_t flags, int bit) { return bit >= 0 && (flags & (1u << bit)) != 0; }

std::uint8_t tag_body_length(std::uint8_t api) { return api == APP_IDENTIFICATION_RSP ? 19 : 14; }

}  // namespace

std::optional<ValueRequest> decode_value_request(ValueRequestKind kind, const std::uint8_t *payload, std::size_t length) {
  ValueRequestHead head{};
  if (!read_layout(payload, length, head)) return std::nullopt;
  // The body length counts the short address, the flag word and the value fields.
  if (le16(head.body_length) != length - 2) return std::nullopt;
  ValueRequest request;
  request.short_address = le16(head.short_address);
  request.values.flags = le16(head.flags);
  const FlagLayout layout = flag_layout(kind);
  const std::uint16_t flags = request.values.flags;
  FieldReader reader(payload + sizeof head, length - sizeof head);
  if (has(flags, layout.command_bit)) {
    std::uint16_t command = 0;
    if (!read_u16(reader, command)) return std::nullopt;
    request.values.command = command;
  }
  if (has(flags, layout.integer_bit)) {
    std::int32_t integer = 0;
    if (!read_i32(reader, integer)) return std::nullopt;
    request.values.integer = integer;
  }
  if (has(flags, layout.real_bit)) {
    double real = 0;
    if (!read_fixed(reader, real)) return std::nullopt;
    request.values.real = real;
  }
  if (has(flags, layout.block_bit)) {
    std::string block;
    if (!read_block(reader, block)) return std::nullopt;
    request.values.block = block;
  }
  if (reader.left() != 0) return std::nullopt;
  return request;
}

std::optional<ConfigRequest> decode_config_request(const std::uint8_t *payload, std::size_t length) {
  ConfigRequestHead head{};
  if (!read_layout(payload, length, head)) return std::nullopt;
  // Type 1 carries its three configuration words; types 3 and 6 only the type and the address.
  if (head.type == 1 ? length != sizeof head + sizeof(ConfigWords) : length != sizeof head) return std::nullopt;
  return ConfigRequest{head.type, le16(head.short_address)};
}

std::optional<RemoveRequest> decode_remove_request(const std::uint8_t *payload, std::size_t length) {
  RemoveReq layout{};
  if (length != sizeof layout || !read_layout(payload, length, layout)) return std::nullopt;
  RemoveRequest request;
  request.short_address = le16(layout.short_address);
  std::memcpy(request.ext_address, layout.ext_address, 8);
  return request;
}

std::optional<DecodedReply> decode_sensor_reply(std::uint8_t api, const std::uint8_t *payload, std::size_t length) {
  DecodedReply reply;
  if (api == APP_IDENTIFICATION_RSP) {
    IdentificationRsp layout{};
    if (length != sizeof layout || !read_layout(payload, length, layout)) return std::nullopt;
    if (le16(layout.body_length) != tag_body_length(api) || le32(layout.constant) != 123) return std::nullopt;
    reply.short_address = le16(layout.short_address);
    reply.command = layout.command;
    std::memcpy(reply.sensor_tag, layout.sensor_tag, 8);
    reply.rssi = static_cast<std::int16_t>(le16(layout.rssi));
    reply.reply_value = le16(layout.reply_value);
    reply.event_interval = le16(layout.event_interval);
    return reply;
  }
  SensorReply layout{};
  if (length != sizeof layout || !read_layout(payload, length, layout)) return std::nullopt;
  if (le16(layout.body_length) != tag_body_length(api)) return std::nullopt;
  reply.short_address = le16(layout.short_address);
  reply.command = layout.command;
  std::memcpy(reply.sensor_tag, layout.sensor_tag, 8);
  reply.rssi = static_cast<std::int16_t>(le16(layout.rssi));
  reply.reply_value = le16(layout.reply_value);
  return reply;
}

std::optional<DownloadRequest> decode_sensor_oad_start(const std::uint8_t *payload, std::size_t length) {
  if (length < 2) return std::nullopt;
  return DownloadRequest{payload[0], 0, std::string(reinterpret_cast<const char *>(payload + 1), length - 1)};
}

std::optional<DownloadRequest> decode_msp430_oad_start(const std::uint8_t *payload, std::size_t length) {
  Msp430OadStartHead head{};
  if (!read_layout(payload, length, head) || length == sizeof head) return std::nullopt;
  return DownloadRequest{head.short_address, le32(head.file_size),
                         std::string(reinterpret_cast<const char *>(payload + sizeof head), length - sizeof head)};
}

}  // namespace sim
