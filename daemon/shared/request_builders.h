// Builders of the collector requests that more than one caller sends, each written to the link
// under the link semaphore as one frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shared/txq.h"

namespace vorn::shared {

struct SensorReport;

// Reply commands a sensor is answered with.
constexpr std::uint8_t kDataFrameReply = 0x21;
constexpr std::uint8_t kIdentificationReply = 0x23;
constexpr std::uint8_t kSensorStatusReply = 0x2C;

// The request record of the get-sensor and set-sensor requests (also a TXQ payload): a 4-character
// address text, a flag word, then the value fields of the set flag bits, packed.
constexpr std::size_t kRequestRecordHeader = 6;

void send_get_nwk_info_req();
void send_sensor_reply(std::uint8_t command, std::uint16_t short_address, const SensorReport &report);
void send_get_sensor_req(const std::uint8_t *record, std::size_t record_size = kTxqPayloadSize);
void send_set_sensor_req(const std::uint8_t *record, std::size_t record_size = kTxqPayloadSize);
void send_cancel_msp430_oad_req(std::uint8_t index);
// `address_text` (4 hex characters, not terminated) names the sensor when given; otherwise
// `short_address` does.
void send_config_request(int type, const char *address_text, std::uint16_t short_address);

// Requests that only the transmit thread sends, each from its TXQ payload.
void send_device_array_req();
void send_join_permit_req(bool enable);
void send_sensor_oad_start_req(std::uint8_t index, const char *file_name);
void send_oad_file_req(const std::uint8_t *payload);
void send_oad_status_req();
void send_set_device_value_req(const std::uint8_t *payload);
void send_get_device_value_req(const std::uint8_t *payload);
void send_cancel_oad_req(std::uint8_t index);

// Reads a 4-character hexadecimal address text. False when the characters are not hex digits.
bool parse_address_text(const std::uint8_t *text, std::uint16_t *short_address);

// Fills a request record for the set-sensor request with flag word 3: a 16-bit command value and
// a 32-bit integer value (time synchronisation: command 4; event interval: command 1).
void build_set_sensor_record(std::uint8_t *record, const char *address_text, std::uint16_t command,
                             std::int32_t value);

}  // namespace vorn::shared
