// Fuzz target: one cloud command per input. The input is read as JSON text into a bus message, as
// the cloud agent's event carries it, and handed to the vorn_mgr event handler. Sensor
// 00124B0001A2B3C4 is known at short address 0001 (the uci stand-in of shell_stand_in.cpp answers its
// ShortAddress), with a radio and an MSP430 download on record that every input finds afresh;
// sensor 00124B0001A2B3C5 is in the DeviceList only. After each command the TXQ must hold at most
// one published request and no slot left half-filled; the slots are freed for the next input.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <gateway_lib/download_records.h>
extern "C" {
#include <libubox/blobmsg_json.h>
}

#include "commands/command_event.h"
#include "core/daemon_state.h"
#include "shared/device_list.h"
#include "shared/segments.h"
#include "shared/txq.h"

namespace {

using vorn::shared::TxqSegment;

constexpr const char *kSensorText = "00124B0001A2B3C4";
constexpr std::uint8_t kSensor[8] = {0xC4, 0xB3, 0xA2, 0x01, 0x00, 0x4B, 0x12, 0x00};
constexpr std::uint8_t kOtherSensor[8] = {0xC5, 0xB3, 0xA2, 0x01, 0x00, 0x4B, 0x12, 0x00};

TxqSegment *txq() {
  static TxqSegment *segment = [] {
    vorn::shared::create_shared_state();
    vorn::core::daemon_state.link_socket.store(open("/dev/null", O_WRONLY | O_CLOEXEC));
    vorn::shared::device_list_add(1, kSensor);
    vorn::shared::device_list_add(2, kOtherSensor);
    if (FILE *progress = std::fopen("/tmp/0001", "w")) {
      std::fputs("{\"process\":0}\n", progress);
      std::fclose(progress);
    }
    static vorn::shared::SegmentAttachment attachment(vorn::core::daemon_state.txq_segment_id);
    return static_cast<TxqSegment *>(attachment.address());
  }();
  return segment;
}

struct BlobBuffer {
  blob_buf buffer{};
  BlobBuffer() { blob_buf_init(&buffer, 0); }
  ~BlobBuffer() { blob_buf_free(&buffer); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  TxqSegment *queue = txq();
  // Cancellations change or delete these records: each input finds the same ones.
  set_oad_sensor(kSensorText, "/etc/msp430/image.txt", 2, 40);
  set_upgrade_sensor(kSensorText, "/tmp/radio.bin", 1, 0);

  const std::string text(reinterpret_cast<const char *>(data), size);
  BlobBuffer message;
  // A text that is no JSON object leaves the message empty, as an event without fields.
  blobmsg_add_json_from_string(&message.buffer, text.c_str());
  vorn::commands::handle_command_event(nullptr, nullptr, "vorn_mgr", message.buffer.head);

  int published = 0;
  for (vorn::shared::TxqSlot &slot : queue->slots) {
    if (slot.state == vorn::shared::kSlotFilling) __builtin_trap();  // a claimed slot never given back
    if (slot.state == vorn::shared::kSlotReady) ++published;
    vorn::shared::release_txq_slot(&slot);
  }
  if (published > 1) __builtin_trap();  // one command queues at most one request
  return 0;
}
