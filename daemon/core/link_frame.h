// The collector link's frame: a 4-byte header (payload length, type byte, API id) and the payload.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::core {

struct LinkHeader {
  std::uint8_t payload_length[2];  // little-endian, header not counted
  std::uint8_t type;               // kOutboundType or kInboundType
  std::uint8_t api_id;
};
static_assert(sizeof(LinkHeader) == 4);
static_assert(offsetof(LinkHeader, type) == 2 && offsetof(LinkHeader, api_id) == 3);

constexpr std::size_t kLinkHeaderSize = sizeof(LinkHeader);
constexpr std::uint8_t kOutboundType = 0x0A;
constexpr std::uint8_t kInboundType = 0x4A;

// Collector to daemon.
enum InboundApi : std::uint8_t {
  APP_DEVICE_JOINED_IND = 0,
  APP_DEVICE_LEFT_IND = 1,
  APP_NWK_INFO_IND = 2,
  APP_GET_NWK_INFO_CNF = 5,
  APP_GET_DEVICE_ARRAY_CNF = 7,
  APP_DEVICE_NOTACTIVE_UPDATE_IND = 8,
  APP_DEVICE_DATA_RX_IND = 9,
  APP_COLLECTOR_STATE_CNG_IND = 10,
  APP_SET_JOIN_PERMIT_CNF = 12,
  APP_TX_DATA_CNF = 14,
};

// Daemon to collector.
enum OutboundApi : std::uint8_t {
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

}  // namespace vorn::core
