// The sensors' own application frames, carried inside APP_DEVICE_DATA_RX_IND. The layouts are the
// simulator's own, the enums and structs below, written apart from the daemon's. Offsets count
// from the application frame's first byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "byte_fields.h"

namespace sim {

enum SensorCommand : std::uint8_t {
  kConfigRsp = 2,
  kSensorData = 5,
  kSetDeviceValueRsp = 0x15,
  kGetDeviceValueRsp = 0x17,
  kSetSensorRsp = 0x19,
  kGetSensorRsp = 0x1B,
  kDataFrameRequest = 0x20,
  kDataFrameResponse = 0x21,  // the daemon's answers, echoed in their command byte
  kIdentificationRequest = 0x22,
  kIdentificationResponse = 0x23,
  kDisassociationResponse = 0x2A,
  kSensorStatusRequest = 0x2B,
  kSensorStatusResponse = 0x2C,
};
const char *sensor_command_name(std::uint8_t command);

// RSSI, command id, ExtAddress and FrameCtl: the head of commands 5, 32, 34, 42 and 43.
struct CommonHead {
  std::uint8_t rssi;
  std::uint8_t command;
  std::uint8_t ext_address[8];
  std::uint8_t frame_ctl[2];
};
static_assert(sizeof(CommonHead) == 12 && offsetof(CommonHead, frame_ctl) == 10);

struct IdentificationFixed {
  CommonHead head;
  std::uint8_t sensor_tag[8];
  std::uint8_t status_word[2];
  std::uint8_t battery_raw[2];
  std::uint8_t status_extra[2];
  std::uint8_t manufacturer[32];
  std::uint8_t model_name[32];
  std::uint8_t model_number[32];
  std::uint8_t model_version[4];
  std::uint8_t sensor_version[4];
  std::uint8_t manufacturer_date[2];
  std::uint8_t calibration_date[2];
  std::uint8_t identity_word_1[4];
  std::uint8_t identity_word_2[4];
  std::uint8_t identity_half[2];
  std::uint8_t device_name[16];
  std::uint8_t op_voltage;
  std::uint8_t op_temperature;
  std::uint8_t event_interval[2];
  std::uint8_t channel_count;
};
static_assert(sizeof(IdentificationFixed) == 165);
static_assert(offsetof(IdentificationFixed, sensor_tag) == 12 && offsetof(IdentificationFixed, status_word) == 20 &&
              offsetof(IdentificationFixed, manufacturer) == 26 && offsetof(IdentificationFixed, model_name) == 58 &&
              offsetof(IdentificationFixed, model_number) == 90 && offsetof(IdentificationFixed, model_version) == 122 &&
              offsetof(IdentificationFixed, sensor_version) == 126 &&
              offsetof(IdentificationFixed, manufacturer_date) == 130 &&
              offsetof(IdentificationFixed, calibration_date) == 132 &&
              offsetof(IdentificationFixed, identity_word_1) == 134 && offsetof(IdentificationFixed, identity_half) == 142 &&
              offsetof(IdentificationFixed, device_name) == 144 && offsetof(IdentificationFixed, op_voltage) == 160 &&
              offsetof(IdentificationFixed, event_interval) == 162 && offsetof(IdentificationFixed, channel_count) == 164);

struct IdentificationChannel {
  std::uint8_t name[16];
  std::uint8_t type;
  std::uint8_t unit[4];
};
static_assert(sizeof(IdentificationChannel) == 21 && offsetof(IdentificationChannel, unit) == 17);

struct IdentificationTrailer {
  std::uint8_t trailer_byte;
  std::uint8_t trailer_word_1[4];
  std::uint8_t trailer_word_2[4];
};
static_assert(sizeof(IdentificationTrailer) == 9);

// SensorData (command 5) with FrameCtl bit 0x0020: the sensor block, then its channels.
struct SensorBlockHead {
  std::uint8_t extension_status[2];
  std::uint8_t battery[2];
  std::uint8_t low_power;
  std::uint8_t channel_count;
};
static_assert(sizeof(SensorBlockHead) == 6 && offsetof(SensorBlockHead, channel_count) == 5);

struct SensorDataChannel {
  std::uint8_t unit[4];
  std::uint8_t type;
  std::uint8_t word_a[2];
  std::uint8_t word_b[2];
};
static_assert(sizeof(SensorDataChannel) == 9 && offsetof(SensorDataChannel, word_a) == 5);

struct OperatingBlock {
  std::uint8_t temperature;
  std::uint8_t voltage;
};
static_assert(sizeof(OperatingBlock) == 2);

// FrameCtl bits of SensorData and the sizes of the blocks the daemon skips.
constexpr std::uint16_t kSensorBlockBit = 0x0020;
constexpr std::uint16_t kOperatingBit = 0x0040;
constexpr std::uint16_t kLiveFrameCtl = 0x0060;      // sensor block, operating values, time stamp
constexpr std::uint16_t kExtendedFrameCtl = 0x0078;  // the same with the 48- and 8-byte blocks
// Bit 14 of Extension_Status: channel words low word first, as IEEE-754 single precision.
constexpr std::uint16_t kFloatWordsBit = 0x4000;

struct DataFrameRequestHead {
  CommonHead head;
  std::uint8_t sensor_tag[8];
  std::uint8_t status;
  std::uint8_t status_word[2];
  std::uint8_t battery_raw[2];
  std::uint8_t status_extra[2];
  std::uint8_t no_alarm;
  std::uint8_t op_voltage;
  std::uint8_t op_temperature;
  std::uint8_t record_count;
  std::uint8_t channel_count;
};
static_assert(sizeof(DataFrameRequestHead) == 32 && offsetof(DataFrameRequestHead, status) == 20 &&
              offsetof(DataFrameRequestHead, status_word) == 21 && offsetof(DataFrameRequestHead, no_alarm) == 27 &&
              offsetof(DataFrameRequestHead, record_count) == 30);

struct SensorStatusRequest {
  CommonHead head;
  std::uint8_t sensor_tag[8];
  std::uint8_t status;
  std::uint8_t keep_active_time;  // 0: the gateway marks the sensor active
};
static_assert(sizeof(SensorStatusRequest) == 22 && offsetof(SensorStatusRequest, keep_active_time) == 21);

struct ConfigRspHead {
  std::uint8_t rssi;
  std::uint8_t command;
  std::uint8_t unused[12];
  std::uint8_t model_version[4];
  std::uint8_t sensor_version[4];
  std::uint8_t manufacturer[32];
};
static_assert(sizeof(ConfigRspHead) == 54 && offsetof(ConfigRspHead, model_version) == 14 &&
              offsetof(ConfigRspHead, manufacturer) == 22);

// Value responses: RSSI, command, flag word, then the flagged values.
struct ValueResponseHead {
  std::uint8_t rssi;
  std::uint8_t command;
  std::uint8_t flags[2];
};
static_assert(sizeof(ValueResponseHead) == 4);

// The two 16-bit words that carry one channel's value or error.
struct ChannelWords {
  std::uint16_t a = 0;
  std::uint16_t b = 0;
};

// How a sensor writes its channel words.
enum class ValueFormat {
  kFixedOld,    // firmware 1.1.0.2: whole part, ten-thousandths; errors 0x7F80 and the code
  kFixed,       // later firmware without bit 14: the same, negatives as single precision
  kFloat,       // later firmware with bit 14, and data frame records: single precision, word A
                // the low half, word B the high half
};
ChannelWords encode_channel_value(ValueFormat format, double value, std::uint8_t type);
ChannelWords encode_channel_error(ValueFormat format, std::uint16_t code);

// A four-byte version as one number, first byte most significant: 1.1.0.2 is 0x01010002.
std::uint32_t version_number(const std::uint8_t *version);

// Packed dates: year since 2000 in bits 9-15, month in bits 5-8, day in bits 0-4.
std::uint16_t pack_date(int year, int month, int day);

struct Identity {
  std::uint8_t ext_address[8] = {};  // least-significant byte first
  std::string manufacturer, model_name, model_number, device_name;
  std::uint8_t model_version[4] = {};
  std::uint8_t sensor_version[4] = {};
  std::uint16_t manufacturer_date = 0, calibration_date = 0;
};

struct ChannelReading {
  std::string name;
  std::uint8_t type = 0;
  std::string unit;
  double value = 0;
  std::uint16_t error = 0;  // non-zero: the channel reports this error code instead of a value
};

struct Condition {
  std::int8_t rssi = -60;
  double battery = 3.6;  // volts; 0: no battery level
  std::int8_t op_temperature = 25;
  double op_voltage = 3.3;
};

struct SensorDataFrame {
  std::uint16_t frame_ctl = kLiveFrameCtl;
  ValueFormat format = ValueFormat::kFloat;
  std::size_t blocks = 0;  // channel blocks sent: 4 for firmware 1.1.0.2, else the channel count
  bool low_power = false;
  std::uint32_t device_time = 0;  // seconds since 2000-01-01
};

struct DataRecord {
  std::uint32_t device_time = 0;
  std::vector<ChannelReading> channels;
};

Bytes encode_identification_request(const Identity &identity, const Condition &condition, const std::uint8_t *tag,
                                    std::uint16_t event_interval, const std::vector<ChannelReading> &channels);
Bytes encode_sensor_data(const Identity &identity, const Condition &condition, const SensorDataFrame &frame,
                         const std::vector<ChannelReading> &channels);
Bytes encode_data_frame_request(const Identity &identity, const Condition &condition, const std::uint8_t *tag,
                                bool no_alarm, const std::vector<DataRecord> &records);
Bytes encode_sensor_status_request(const Identity &identity, const Condition &condition, const std::uint8_t *tag);
Bytes encode_disassociation_response(const Identity &identity, const Condition &condition);
Bytes encode_config_rsp(const Identity &identity, const Condition &condition, std::uint16_t event_interval);

struct ValueAnswer {
  std::uint16_t flags = 0;
  std::uint16_t command = 0;
  std::int32_t integer = 0;
  double real = 0;
  std::string text;
};
// Get Sensor Response: bit 0 command value, bit 1 integer, bit 2 float, bit 3 string.
Bytes encode_get_sensor_rsp(std::int8_t rssi, const ValueAnswer &answer);
// Get Device Value Response: bit 0 integer, bit 1 float, bit 2 string.
Bytes encode_get_device_value_rsp(std::int8_t rssi, const ValueAnswer &answer);
// Set Sensor and Set Device Value Responses carry only the flag word.
Bytes encode_set_response(std::uint8_t command, std::int8_t rssi, std::uint16_t flags);

}  // namespace sim
