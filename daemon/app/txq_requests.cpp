#include "app/txq_requests.h"

#include <cstdio>
#include <cstring>

#include "core/link_frame.h"
#include "core/process_fork.h"
#include "devices/device_removal.h"
#include "firmware/firmware_download.h"
#include "shared/device_list.h"
#include "shared/request_builders.h"
#include "shared/txq.h"

namespace vorn::app {

namespace {

using shared::kTxqPayloadSize;

constexpr std::size_t kRemovalTextSize = 21;  // 4 digits of short address, one byte, 16 of ExtAddress

// A zero-terminated text of a TXQ payload starting at `offset`, never read past the payload.
void payload_text(const std::uint8_t *payload, std::size_t offset, char (&text)[kTxqPayloadSize]) {
  std::size_t length = strnlen(reinterpret_cast<const char *>(payload + offset), kTxqPayloadSize - offset);
  if (length == kTxqPayloadSize - offset) --length;
  std::memcpy(text, payload + offset, length);
  text[length] = '\0';
}

void remove_queued_sensor(const void *removal) {
  devices::remove_sensor(static_cast<const char *>(removal), nullptr, 0);
}

void serve_get_nwk_info(const std::uint8_t *) { shared::send_get_nwk_info_req(); }

void serve_get_device_array(const std::uint8_t *) { shared::send_device_array_req(); }

void serve_join_permit(const std::uint8_t *payload) { shared::send_join_permit_req(payload[0] != 0); }

void serve_tx_data(const std::uint8_t *payload) {
  shared::send_config_request(payload[0], reinterpret_cast<const char *>(payload + 1), 0);
}

// A removal reads the sensor list through a pipe, takes the sensor's section lock and runs uci:
// done in the transmit thread, a handler forked meanwhile would inherit the lock or the pipe and
// wait on itself. It runs in a process of its own instead, on a copy of the request (the slot is
// freed as soon as this returns).
void serve_remove_device(const std::uint8_t *payload) {
  char removal[kRemovalTextSize + 1] = {};
  std::memcpy(removal, payload, kRemovalTextSize);
  core::run_detached(remove_queued_sensor, removal, "queued removal");
}

void serve_sensor_oad_start(const std::uint8_t *payload) {
  if (!shared::is_device_index(payload[0])) {
    std::puts("Can't process sensor OAD");
    return;
  }
  char file[kTxqPayloadSize];
  payload_text(payload, 1, file);
  shared::send_sensor_oad_start_req(payload[0], file);
}

void serve_oad_file(const std::uint8_t *payload) { shared::send_oad_file_req(payload); }

void serve_oad_status(const std::uint8_t *) { shared::send_oad_status_req(); }

void serve_set_device_value(const std::uint8_t *payload) { shared::send_set_device_value_req(payload); }

void serve_get_device_value(const std::uint8_t *payload) { shared::send_get_device_value_req(payload); }

// The new settings go out, then a configuration request so the sensor answers with what it holds.
void serve_set_sensor(const std::uint8_t *payload) {
  shared::send_set_sensor_req(payload);
  shared::send_config_request(1, reinterpret_cast<const char *>(payload), 0);
}

void serve_get_sensor(const std::uint8_t *payload) { shared::send_get_sensor_req(payload); }

void serve_msp430_oad_start(const std::uint8_t *payload) {
  char file[kTxqPayloadSize];
  payload_text(payload, 1, file);
  firmware::request_msp430_download(payload[0], file, 1);
}

void serve_cancel_msp430_oad(const std::uint8_t *payload) {
  if (shared::is_device_index(payload[0])) shared::send_cancel_msp430_oad_req(payload[0]);
  else std::puts("Unable to cancel the MSP430 OAD process");
}

void serve_cancel_oad(const std::uint8_t *payload) {
  if (shared::is_device_index(payload[0])) shared::send_cancel_oad_req(payload[0]);
  else std::puts("Unable to cancel the OAD process");
}

struct TxqRequestKind {
  core::OutboundApi id;
  void (*serve)(const std::uint8_t *payload);
};

constexpr TxqRequestKind kTxqRequests[] = {
    {core::APP_GET_NWK_INFO_REQ, serve_get_nwk_info},
    {core::APP_GET_DEVICE_ARRAY_REQ, serve_get_device_array},
    {core::APP_SET_JOIN_PERMIT_REQ, serve_join_permit},
    {core::APP_TX_DATA_REQ, serve_tx_data},
    {core::APP_REMOVE_DEVICE_REQ, serve_remove_device},
    {core::APP_SENSOR_OAD_START_REQ, serve_sensor_oad_start},
    {core::APP_OAD_FILE_REQ, serve_oad_file},
    {core::APP_OAD_STATUS_REQ, serve_oad_status},
    {core::APP_SET_DEVICE_VALUE_REQ, serve_set_device_value},
    {core::APP_GET_DEVICE_VALUE_REQ, serve_get_device_value},
    {core::APP_SET_SENSOR_REQ, serve_set_sensor},
    {core::APP_GET_SENSOR_REQ, serve_get_sensor},
    {core::APP_MSP430_OAD_START_REQ, serve_msp430_oad_start},
    {core::APP_CANCEL_MSP430_OAD_REQ, serve_cancel_msp430_oad},
    {core::APP_CANCEL_OAD_REQ, serve_cancel_oad},
};

}  // namespace

void serve_txq_request(std::int32_t tx_api_id, const std::uint8_t *payload) {
  for (const TxqRequestKind &kind : kTxqRequests) {
    if (kind.id == tx_api_id) {
      kind.serve(payload);
      return;
    }
  }
  std::fputs("Unknow TX API ID!.\n", stdout);
}

}  // namespace vorn::app
