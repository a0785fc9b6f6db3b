#include "shared/request_builders.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/byte_order.h"
#include "core/daemon_state.h"
#include "core/link_frame.h"
#include "core/link_io.h"
#include "core/log_line.h"
#include "shared/device_list.h"
#include "shared/device_list_guard.h"
#include "shared/segments.h"
#include "shared/sensor_report.h"

namespace vorn::shared {

using core::OutboundFrame;
using core::read_le16;
using core::write_le16;
using core::write_le32;

bool parse_address_text(const std::uint8_t *text, std::uint16_t *short_address) {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    int c = text[i];
    if (!std::isxdigit(c)) return false;
    value = value * 16 + (std::isdigit(c) ? c - '0' : std::toupper(c) - 'A' + 10);
  }
  *short_address = static_cast<std::uint16_t>(value);
  return true;
}

void build_set_sensor_record(std::uint8_t *record, const char *address_text, std::uint16_t command,
                             std::int32_t value) {
  std::memcpy(record, address_text, 4);
  std::uint8_t *p = write_le16(record + 4, 3);
  p = write_le16(p, command);
  write_le32(p, static_cast<std::uint32_t>(value));
}

void send_get_nwk_info_req() {
  OutboundFrame frame(core::APP_GET_NWK_INFO_REQ, 0);
  frame.send();
}

void send_sensor_reply(std::uint8_t command, std::uint16_t short_address, const shared::SensorReport &report) {
  std::uint8_t api_id;
  switch (command) {
    case kDataFrameReply: api_id = core::APP_DATA_FRAME_RSP; break;
    case kIdentificationReply: api_id = core::APP_IDENTIFICATION_RSP; break;
    case kSensorStatusReply: api_id = core::APP_SENSOR_STATUS_RSP; break;
    default: std::fputs("Unknow Cmd ID, Reject!\n", stdout); return;
  }
  const std::uint16_t body = command == kIdentificationReply ? 19 : 14;
  OutboundFrame frame(api_id, static_cast<std::uint16_t>(body + 4));
  if (!frame.ok()) return;
  std::uint8_t *p = write_le16(frame.payload(), body);
  p = write_le16(p, short_address);
  *p++ = command;
  std::memcpy(p, report.sensor_tag, sizeof report.sensor_tag);
  p += sizeof report.sensor_tag;
  if (command == kIdentificationReply) {
    p = write_le16(p, static_cast<std::uint16_t>(report.rssi));
    p = write_le16(p, report.reply_value);
    p = write_le16(p, static_cast<std::uint16_t>(report.event_interval));
    write_le32(p, 123);
  } else {
    *p++ = report.status_byte;
    p = write_le16(p, static_cast<std::uint16_t>(report.rssi));
    write_le16(p, report.reply_value);
  }
  frame.send();
}

namespace {

// Walks the value fields of a request record without ever leaving it.
class RecordReader {
 public:
  RecordReader(const std::uint8_t *record, std::size_t size) : record_(record), size_(size) {}
  bool take(std::size_t count, const std::uint8_t **field) {
    if (count > size_ - position_) return false;
    *field = record_ + position_;
    position_ += count;
    return true;
  }

 private:
  const std::uint8_t *record_;
  std::size_t size_;
  std::size_t position_ = kRequestRecordHeader;
};

// One value field of a request: how many bytes it takes in the record and on the wire.
enum class FieldKind { kU16, kI32, kU16ThenI32, kDouble, kBlock };

struct FieldLayout {
  unsigned bit;
  FieldKind kind;
};

constexpr FieldLayout kGetSensorFields[] = {
    {0, FieldKind::kU16ThenI32}, {1, FieldKind::kDouble}, {2, FieldKind::kBlock}};
constexpr FieldLayout kSetSensorFields[] = {
    {0, FieldKind::kU16}, {1, FieldKind::kI32}, {2, FieldKind::kDouble}, {3, FieldKind::kBlock}};
constexpr FieldLayout kSetDeviceValueFields[] = {
    {0, FieldKind::kI32}, {1, FieldKind::kDouble}, {2, FieldKind::kBlock}};

struct EncodedFields {
  std::uint8_t bytes[kTxqPayloadSize * 2];
  std::size_t size = 0;
};

// Re-encodes the record's value fields for the wire (doubles become two 16-bit fixed-point
// fields). False when the record does not hold what its flag word announces.
template <std::size_t N>
bool encode_fields(const FieldLayout (&layout)[N], std::uint16_t flags, const std::uint8_t *record,
                   std::size_t record_size, EncodedFields &out) {
  RecordReader reader(record, record_size);
  std::uint8_t *p = out.bytes;
  for (const FieldLayout &field : layout) {
    if (!(flags & (1u << field.bit))) continue;
    const std::uint8_t *in = nullptr;
    switch (field.kind) {
      case FieldKind::kU16:
        if (!reader.take(2, &in)) return false;
        std::memcpy(p, in, 2), p += 2;
        break;
      case FieldKind::kI32:
        if (!reader.take(4, &in)) return false;
        std::memcpy(p, in, 4), p += 4;
        break;
      case FieldKind::kU16ThenI32:
        if (!reader.take(6, &in)) return false;
        std::memcpy(p, in, 6), p += 6;
        break;
      case FieldKind::kDouble: {
        if (!reader.take(8, &in)) return false;
        double value;
        std::memcpy(&value, in, sizeof value);
        core::FixedPoint fixed = core::split_fixed_point(value);
        p = write_le16(p, fixed.integer);
        p = write_le16(p, fixed.fraction);
        break;
      }
      case FieldKind::kBlock: {
        if (!reader.take(2, &in)) return false;
        std::uint16_t length = read_le16(in);
        const std::uint8_t *block = nullptr;
        if (!reader.take(length, &block)) return false;
        p = write_le16(p, length);
        std::memcpy(p, block, length), p += length;
        break;
      }
    }
  }
  out.size = static_cast<std::size_t>(p - out.bytes);
  return true;
}

// Frame of a get/set-sensor request: the body length n, short address, flag word, value fields.
void send_sensor_request(std::uint8_t api_id, std::uint16_t short_address, std::uint16_t flags,
                         const EncodedFields &fields) {
  const std::uint16_t body = static_cast<std::uint16_t>(4 + fields.size);
  OutboundFrame frame(api_id, static_cast<std::uint16_t>(body + 2));
  if (!frame.ok()) return;
  std::uint8_t *p = write_le16(frame.payload(), body);
  p = write_le16(p, short_address);
  p = write_le16(p, flags);
  std::memcpy(p, fields.bytes, fields.size);
  frame.send();
}

// Encodes the value fields the record's flag word announces and sends the request; a record that
// does not hold them is reported and nothing is sent.
template <std::size_t N>
void encode_and_send(const char *request, std::uint8_t api_id, const FieldLayout (&layout)[N],
                     const std::uint8_t *record, std::size_t record_size, std::uint16_t short_address) {
  const std::uint16_t flags = read_le16(record + 4);
  EncodedFields fields;
  if (!encode_fields(layout, flags, record, record_size, fields)) {
    std::printf("%s to 0x%.4s: flags 0x%04X ask for more than the request holds, not sent\n", request,
                reinterpret_cast<const char *>(record), flags);
    return;
  }
  send_sensor_request(api_id, short_address, flags, fields);
}

bool read_request_address(const std::uint8_t *record, const char *request, std::uint16_t *short_address) {
  if (parse_address_text(record, short_address)) return true;
  std::printf("%s: address text \"%.4s\" is not hexadecimal, not sent\n", request,
              reinterpret_cast<const char *>(record));
  return false;
}

}  // namespace

void send_get_sensor_req(const std::uint8_t *record, std::size_t record_size) {
  std::uint16_t short_address;
  if (record_size < kRequestRecordHeader || !read_request_address(record, "GetSensorReq", &short_address))
    return;
  encode_and_send("GetSensorReq", core::APP_GET_SENSOR_REQ, kGetSensorFields, record, record_size, short_address);
}

void send_set_sensor_req(const std::uint8_t *record, std::size_t record_size) {
  std::uint16_t short_address;
  if (record_size < kRequestRecordHeader || !read_request_address(record, "SetSensorReq", &short_address))
    return;
  const std::uint16_t flags = read_le16(record + 4);
  const std::uint16_t command = (flags & 1u) && record_size >= 8 ? read_le16(record + 6) : 0;
  core::log_line("Send SetSensorReq(0x%04X) to 0x%.4s.\n", command, reinterpret_cast<const char *>(record));
  encode_and_send("SetSensorReq", core::APP_SET_SENSOR_REQ, kSetSensorFields, record, record_size, short_address);
}

void send_cancel_msp430_oad_req(std::uint8_t index) {
  OutboundFrame frame(core::APP_CANCEL_MSP430_OAD_REQ, 1);
  if (!frame.ok()) return;
  frame.payload()[0] = index;
  frame.send();
}

void send_config_request(int type, const char *address_text, std::uint16_t short_address) {
  SegmentAttachment segment(core::daemon_state.device_list_segment_id);
  auto *list = static_cast<DeviceListSegment *>(segment.address());
  if (address_text != nullptr &&
      !read_request_address(reinterpret_cast<const std::uint8_t *>(address_text), "Config Request",
                            &short_address))
    return;
  core::log_line("Send Config Request to %d\n",
                 short_address);
  if (type == 1) {
    OutboundFrame frame(core::APP_TX_DATA_REQ, 9);
    if (!frame.ok()) return;
    std::uint8_t *p = frame.payload();
    *p++ = static_cast<std::uint8_t>(type);
    p = write_le16(p, short_address);
    p = write_le16(p, 60000);
    p = write_le16(p, 0);
    write_le16(p, 56);
    if (is_device_index(short_address)) {
      DeviceEntryLock lock(short_address);
      list->entries[short_address].last_config_request = static_cast<std::uint32_t>(std::time(nullptr));
    }
    frame.send();
  } else if (type == 3 || type == 6) {
    // Only the type and the address travel, so the header announces 3 payload bytes; announcing
    // the 9 of a type-1 request would make the collector eat into the next frame.
    OutboundFrame frame(core::APP_TX_DATA_REQ, 3);
    if (!frame.ok()) return;
    std::uint8_t *p = frame.payload();
    *p++ = static_cast<std::uint8_t>(type);
    write_le16(p, short_address);
    frame.send();
  } else {
    std::fputs("Unknow Cmd ID, Reject!\n", stdout);
  }
}

void send_device_array_req() {
  OutboundFrame frame(core::APP_GET_DEVICE_ARRAY_REQ, 0);
  frame.send();
}

void send_join_permit_req(bool enable) {
  OutboundFrame frame(core::APP_SET_JOIN_PERMIT_REQ, 4);
  if (!frame.ok()) return;
  write_le32(frame.payload(), enable ? 120000 : 0);  // milliseconds the network stays open
  frame.send();
}

void send_sensor_oad_start_req(std::uint8_t index, const char *file_name) {
  const std::size_t length = std::strlen(file_name);
  OutboundFrame frame(core::APP_SENSOR_OAD_START_REQ, static_cast<std::uint16_t>(length + 1));
  if (!frame.ok()) return;
  frame.payload()[0] = index;
  std::memcpy(frame.payload() + 1, file_name, length);
  frame.send();
}

void send_oad_file_req(const std::uint8_t *payload) {
  std::size_t length = strnlen(reinterpret_cast<const char *>(payload), kTxqPayloadSize);
  if (length == kTxqPayloadSize) {
    // No terminator in the whole payload: send what fits a terminated text and say so.
    length = kTxqPayloadSize - 1;
    std::fprintf(stderr, "APP_OAD_FILE_REQ: text longer than %zu characters, sent cut\n", length);
  }
  OutboundFrame frame(core::APP_OAD_FILE_REQ, static_cast<std::uint16_t>(length));
  if (!frame.ok()) return;
  std::memcpy(frame.payload(), payload, length);
  frame.send();
}

void send_oad_status_req() {
  OutboundFrame frame(core::APP_OAD_STATUS_REQ, 0);
  frame.send();
}

void send_set_device_value_req(const std::uint8_t *payload) {
  std::uint16_t short_address;
  if (!read_request_address(payload, "SetDeviceValueReq", &short_address)) return;
  encode_and_send("SetDeviceValueReq", core::APP_SET_DEVICE_VALUE_REQ, kSetDeviceValueFields, payload,
                  kTxqPayloadSize, short_address);
}

void send_get_device_value_req(const std::uint8_t *payload) {
  std::uint16_t short_address;
  if (!read_request_address(payload, "GetDeviceValueReq", &short_address)) return;
  OutboundFrame frame(core::APP_GET_DEVICE_VALUE_REQ, 4);
  if (!frame.ok()) return;
  std::uint8_t *p = write_le16(frame.payload(), short_address);
  std::memcpy(p, payload + 4, 2);
  frame.send();
}

void send_cancel_oad_req(std::uint8_t index) {
  OutboundFrame frame(core::APP_CANCEL_OAD_REQ, 1);
  if (!frame.ok()) return;
  frame.payload()[0] = index;
  frame.send();
}

}  // namespace vorn::shared
