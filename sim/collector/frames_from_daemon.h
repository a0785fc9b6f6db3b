// Requests and replies the daemon sends to the collector (type byte 0x0A), and their decoders. The
// layouts are the simulator's own, the enums and structs below, written apart from the daemon's.
// Every decoder reads only the bytes it was given and answers nothing (std::nullopt) for a
// payload too short or inconsistent for its fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "byte_fields.h"

namespace sim {

constexpr std::uint8_t kFromDaemonType = 0x0A;

enum FromDaemonApi : std::uint8_t {
  APP_GET_NWK_INFO_REQ = 3,
  APP_GET_DEVICE_ARRAY_REQ = 6,
  APP_SET_JOIN_PERMIT_REQ = 11,
  APP_TX_DATA_REQ = 13,
  APP_REMOVE_DEVICE_REQ = 15,
  APP_SENSOR_OAD_START_REQ = 20,
  APP_OAD_FILE_REQ = 21,
  APP_OAD_STATUS_REQ = 23,
  APP_SET_DEVICE_VALUE_REQ = 24,
  APP_GET_DEVICE_VALUE_REQ = 25,
  APP_SET_SENSOR_REQ = 26,
  APP_GET_SENSOR_REQ = 27,
  APP_DATA_FRAME_RSP = 33,
  APP_IDENTIFICATION_RSP = 35,
  APP_MSP430_OAD_START_REQ = 36,
  APP_CANCEL_MSP430_OAD_REQ = 37,
  APP_REMOVE_DEVICE_NEW_REQ = 38,
  APP_SENSOR_STATUS_RSP = 39,
  APP_CANCEL_OAD_REQ = 40,
};
const char *from_daemon_api_name(std::uint8_t api);

struct JoinPermitReq {
  std::uint8_t duration_ms[4];
};
static_assert(sizeof(JoinPermitReq) == 4);

// APP_TX_DATA_REQ: a configuration request. Type 1 carries three configuration words as well.
struct ConfigRequestHead {
  std::uint8_t type;
  std::uint8_t short_address[2];
};
struct ConfigWords {
  std::uint8_t words[3][2];
};
static_assert(sizeof(ConfigRequestHead) == 3 && sizeof(ConfigWords) == 6);

// APP_REMOVE_DEVICE_REQ and APP_REMOVE_DEVICE_NEW_REQ.
struct RemoveReq {
  std::uint8_t short_address[2];
  std::uint8_t ext_address[8];
};
static_assert(sizeof(RemoveReq) == 10 && offsetof(RemoveReq, ext_address) == 2);

// APP_SET_DEVICE_VALUE_REQ, APP_SET_SENSOR_REQ and APP_GET_SENSOR_REQ: the body length counts the
// bytes after it; value fields follow the flag word.
struct ValueRequestHead {
  std::uint8_t body_length[2];
  std::uint8_t short_address[2];
  std::uint8_t flags[2];
};
static_assert(sizeof(ValueRequestHead) == 6 && offsetof(ValueRequestHead, flags) == 4);

struct GetDeviceValueReq {
  std::uint8_t short_address[2];
  std::uint8_t value[2];
};
static_assert(sizeof(GetDeviceValueReq) == 4);

// APP_DATA_FRAME_RSP and APP_SENSOR_STATUS_RSP.
struct SensorReply {
  std::uint8_t body_length[2];
  std::uint8_t short_address[2];
  std::uint8_t command;
  std::uint8_t sensor_tag[8];
  std::uint8_t status;
  std::uint8_t rssi[2];
  std::uint8_t reply_value[2];
};
static_assert(sizeof(SensorReply) == 18 && offsetof(SensorReply, sensor_tag) == 5 && offsetof(SensorReply, rssi) == 14);

struct IdentificationRsp {
  std::uint8_t body_length[2];
  std::uint8_t short_address[2];
  std::uint8_t command;
  std::uint8_t sensor_tag[8];
  std::uint8_t rssi[2];
  std::uint8_t reply_value[2];
  std::uint8_t event_interval[2];
  std::uint8_t constant[4];
};
static_assert(sizeof(IdentificationRsp) == 23 && offsetof(IdentificationRsp, event_interval) == 17 &&
              offsetof(IdentificationRsp, constant) == 19);

struct Msp430OadStartHead {
  std::uint8_t short_address;
  std::uint8_t file_size[4];
};
static_assert(sizeof(Msp430OadStartHead) == 5);

// The values a value request carries, by its flag word.
struct ValueFields {
  std::uint16_t flags = 0;
  std::optional<std::uint16_t> command;
  std::optional<std::int32_t> integer;
  std::optional<double> real;  // from the two fixed-point words: whole part, ten-thousandths
  std::optional<std::string> block;
};

struct ValueRequest {
  std::uint16_t short_address = 0;
  ValueFields values;
};

// The three value requests differ in which flag bit carries which field.
enum class ValueRequestKind { kSetSensor, kGetSensor, kSetDeviceValue };
std::optional<ValueRequest> decode_value_request(ValueRequestKind kind, const std::uint8_t *payload, std::size_t length);

struct ConfigRequest {
  std::uint8_t type = 0;
  std::uint16_t short_address = 0;
};
std::optional<ConfigRequest> decode_config_request(const std::uint8_t *payload, std::size_t length);

struct RemoveRequest {
  std::uint16_t short_address = 0;
  std::uint8_t ext_address[8] = {};
};
std::optional<RemoveRequest> decode_remove_request(const std::uint8_t *payload, std::size_t length);

// A reply to a sensor's own request: the command byte and sensor tag it echoes.
struct DecodedReply {
  std::uint16_t short_address = 0;
  std::uint8_t command = 0;
  std::uint8_t sensor_tag[8] = {};
  std::int16_t rssi = 0;
  std::uint16_t reply_value = 0;
  std::uint16_t event_interval = 0;  // identification response only
};
std::optional<DecodedReply> decode_sensor_reply(std::uint8_t api, const std::uint8_t *payload, std::size_t length);

struct DownloadRequest {
  std::uint8_t short_address = 0;
  std::uint32_t file_size = 0;  // MSP430 requests only
  std::string file;
};
std::optional<DownloadRequest> decode_sensor_oad_start(const std::uint8_t *payload, std::size_t length);
std::optional<DownloadRequest> decode_msp430_oad_start(const std::uint8_t *payload, std::size_t length);

}  // namespace sim
