#include "frames_to_daemon.h"

namespace sim {

const char *collector_state_name(std::uint8_t state) {
  static const char *const names[] = {"Waiting", "Starting", "Restoring", "Started", "Restored", "Join Open", "Join Close"};
  return state < 7 ? names[state] : "Unknown";
}

const char *to_daemon_api_name(std::uint8_t api) {
  switch (api) {
    case APP_DEVICE_JOINED_IND: return "APP_DEVICE_JOINED_IND";
    case APP_DEVICE_LEFT_IND: return "APP_DEVICE_LEFT_IND";
    case APP_NWK_INFO_IND: return "APP_NWK_INFO_IND";
    case APP_GET_NWK_INFO_CNF: return "APP_GET_NWK_INFO_CNF";
    case APP_GET_DEVICE_ARRAY_CNF: return "APP_GET_DEVICE_ARRAY_CNF";
    case APP_DEVICE_NOTACTIVE_UPDATE_IND: return "APP_DEVICE_NOTACTIVE_UPDATE_IND";
    case APP_DEVICE_DATA_RX_IND: return "APP_DEVICE_DATA_RX_IND";
    case APP_COLLECTOR_STATE_CNG_IND: return "APP_COLLECTOR_STATE_CNG_IND";
    case APP_SET_JOIN_PERMIT_CNF: return "APP_SET_JOIN_PERMIT_CNF";
    case APP_TX_DATA_CNF: return "APP_TX_DATA_CNF";
    default: return "UNKNOWN";
  }
}

Bytes link_frame(std::uint8_t api, const Bytes &payload) {
  Bytes out{static_cast<std::uint8_t>(payload.size() & 0xFF), static_cast<std::uint8_t>((payload.size() >> 8) & 0xFF),
            kToDaemonType, api};
  append_bytes(out, payload.data(), payload.size());
  return out;
}

namespace {

template <typename Layout>
Bytes frame_of(std::uint8_t api, const Layout &layout) {
  Bytes payload;
  append_layout(payload, layout);
  return link_frame(api, payload);
}

void put_network(NetworkTail &tail, const NetworkIdentity &identity, std::uint8_t state) {
  put_le16(tail.pan_id, identity.pan_id);
  put_le16(tail.short_address, 0);  // the coprocessor is the network's coordinator
  std::memcpy(tail.ext_address, identity.ext_address, 8);
  tail.channel = identity.channel;
  tail.frequency_hopping = 0;
  tail.security = 1;
  tail.network_mode = 2;  // non beacon
  tail.state = state;
}

}  // namespace

Bytes encode_joined_ind(std::uint16_t short_address, const std::uint8_t *ext_address, bool rejoined) {
  JoinedInd layout{};
  put_le16(layout.short_address, short_address);
  std::memcpy(layout.ext_address, ext_address, 8);
  layout.rejoined = rejoined ? 1 : 0;
  return frame_of(APP_DEVICE_JOINED_IND, layout);
}

Bytes encode_left_ind(const std::uint8_t *ext_address) {
  LeftInd layout{};
  std::memcpy(layout.ext_address, ext_address, 8);
  return frame_of(APP_DEVICE_LEFT_IND, layout);
}

Bytes encode_not_active_ind(std::uint16_t short_address, const std::uint8_t *ext_address) {
  NotActiveInd layout{};
  put_le16(layout.short_address, short_address);
  std::memcpy(layout.ext_address, ext_address, 8);
  return frame_of(APP_DEVICE_NOTACTIVE_UPDATE_IND, layout);
}

Bytes encode_nwk_info_ind(const NetworkIdentity &identity, std::uint8_t state) {
  NwkInfoInd layout{};
  std::memcpy(layout.firmware_version, identity.firmware_version, 4);
  put_network(layout.network, identity, state);
  return frame_of(APP_NWK_INFO_IND, layout);
}

Bytes encode_get_nwk_info_cnf(const NetworkIdentity &identity, std::uint8_t state) {
  GetNwkInfoCnf layout{};
  layout.status = 1;
  std::memcpy(layout.firmware_version, identity.firmware_version, 4);
  put_network(layout.network, identity, state);
  put_text(layout.model_name, identity.model_name);
  return frame_of(APP_GET_NWK_INFO_CNF, layout);
}

Bytes encode_device_array_cnf(const DeviceArrayItem *items, std::size_t count) {
  Bytes payload;
  DeviceArrayHead head{};
  head.status = 0;
  put_le16(head.count, static_cast<unsigned>(count));
  append_layout(payload, head);
  for (std::size_t i = 0; i < count; ++i) {
    DeviceArrayEntry entry{};
    put_le16(entry.short_address, items[i].short_address);
    std::memcpy(entry.ext_address, items[i].ext_address, 8);
    append_layout(payload, entry);
  }
  return link_frame(APP_GET_DEVICE_ARRAY_CNF, payload);
}

Bytes encode_state_change(std::uint8_t state) { return link_frame(APP_COLLECTOR_STATE_CNG_IND, Bytes{state}); }

Bytes encode_join_permit_cnf(std::uint32_t status) {
  ResultWord layout{};
  put_le32(layout.status, status);
  return frame_of(APP_SET_JOIN_PERMIT_CNF, layout);
}

Bytes encode_tx_data_cnf(std::uint32_t status) {
  ResultWord layout{};
  put_le32(layout.status, status);
  return frame_of(APP_TX_DATA_CNF, layout);
}

Bytes encode_data_rx_ind(std::uint16_t short_address, const Bytes &application_frame) {
  Bytes payload;
  DataRxHead head{};
  head.address_mode = kShortAddressMode;
  put_le16(head.short_address, short_address);
  append_layout(payload, head);
  append_bytes(payload, application_frame.data(), application_frame.size());
  return link_frame(APP_DEVICE_DATA_RX_IND, payload);
}

}  // namespace sim
