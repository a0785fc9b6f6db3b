// Frames the collector sends to the daemon (type byte 0x4A). Their layouts are the simulator's own,
// the enums and structs below, written apart from the daemon's so that each side checks the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "byte_fields.h"

namespace sim {

constexpr std::uint8_t kToDaemonType = 0x4A;

enum ToDaemonApi : std::uint8_t {
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

// Collector states of APP_COLLECTOR_STATE_CNG_IND and the network information frames.
enum CollectorState : std::uint8_t {
  kStateWaiting = 0,
  kStateStarting = 1,
  kStateRestoring = 2,
  kStateStarted = 3,
  kStateRestored = 4,
  kStateJoinOpen = 5,
  kStateJoinClose = 6,
};
const char *collector_state_name(std::uint8_t state);
const char *to_daemon_api_name(std::uint8_t api);

struct JoinedInd {
  std::uint8_t reserved[2];
  std::uint8_t short_address[2];
  std::uint8_t ext_address[8];
  std::uint8_t reserved2[6];
  std::uint8_t rejoined;
};
static_assert(sizeof(JoinedInd) == 19 && offsetof(JoinedInd, ext_address) == 4 && offsetof(JoinedInd, rejoined) == 18);

struct LeftInd {
  std::uint8_t ext_address[8];
};
static_assert(sizeof(LeftInd) == 8);

// The network description that both network information frames carry.
struct NetworkTail {
  std::uint8_t pan_id[2];
  std::uint8_t short_address[2];
  std::uint8_t ext_address[8];
  std::uint8_t channel;
  std::uint8_t frequency_hopping;
  std::uint8_t security;
  std::uint8_t network_mode;
  std::uint8_t state;
};
static_assert(sizeof(NetworkTail) == 17 && offsetof(NetworkTail, ext_address) == 4 && offsetof(NetworkTail, state) == 16);

struct NwkInfoInd {
  std::uint8_t firmware_version[4];
  NetworkTail network;
};
static_assert(sizeof(NwkInfoInd) == 21 && offsetof(NwkInfoInd, network) == 4);

struct GetNwkInfoCnf {
  std::uint8_t status;
  std::uint8_t firmware_version[4];
  NetworkTail network;
  std::uint8_t model_name[32];
};
static_assert(sizeof(GetNwkInfoCnf) == 54 && offsetof(GetNwkInfoCnf, network) == 5 &&
              offsetof(GetNwkInfoCnf, model_name) == 22);

struct DeviceArrayHead {
  std::uint8_t status;
  std::uint8_t count[2];
};
struct DeviceArrayEntry {
  std::uint8_t reserved[2];
  std::uint8_t short_address[2];
  std::uint8_t ext_address[8];
  std::uint8_t reserved2[6];
};
static_assert(sizeof(DeviceArrayHead) == 3 && sizeof(DeviceArrayEntry) == 18 && offsetof(DeviceArrayEntry, ext_address) == 4);

struct NotActiveInd {
  std::uint8_t reserved[2];
  std::uint8_t short_address[2];
  std::uint8_t ext_address[8];
  std::uint8_t reserved2;
};
static_assert(sizeof(NotActiveInd) == 13 && offsetof(NotActiveInd, ext_address) == 4);

// APP_DEVICE_DATA_RX_IND: address mode 2 (short address), then the sensor's application frame.
struct DataRxHead {
  std::uint8_t address_mode;
  std::uint8_t short_address[2];
};
static_assert(sizeof(DataRxHead) == 3);
constexpr std::uint8_t kShortAddressMode = 2;

struct ResultWord {
  std::uint8_t status[4];
};
static_assert(sizeof(ResultWord) == 4);

// What the coprocessor says of itself and its network.
struct NetworkIdentity {
  std::uint8_t firmware_version[4];
  std::uint16_t pan_id;
  std::uint8_t ext_address[8];
  std::uint8_t channel;
  std::string model_name;
};

// A whole link frame: header (payload length, 0x4A, API id) and payload.
Bytes link_frame(std::uint8_t api, const Bytes &payload);

Bytes encode_joined_ind(std::uint16_t short_address, const std::uint8_t *ext_address, bool rejoined);
Bytes encode_left_ind(const std::uint8_t *ext_address);
Bytes encode_not_active_ind(std::uint16_t short_address, const std::uint8_t *ext_address);
Bytes encode_nwk_info_ind(const NetworkIdentity &identity, std::uint8_t state);
Bytes encode_get_nwk_info_cnf(const NetworkIdentity &identity, std::uint8_t state);
struct DeviceArrayItem {
  std::uint16_t short_address;
  const std::uint8_t *ext_address;
};
Bytes encode_device_array_cnf(const DeviceArrayItem *items, std::size_t count);
Bytes encode_state_change(std::uint8_t state);
Bytes encode_join_permit_cnf(std::uint32_t status);
Bytes encode_tx_data_cnf(std::uint32_t status);
Bytes encode_data_rx_ind(std::uint16_t short_address, const Bytes &application_frame);

}  // namespace sim
