#include "data/retrieved_settings.h"

#include <sys/shm.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cloud/message_retrieval.h"
#include "core/daemon_state.h"
#include "core/ext_address.h"
#include "core/link_frame.h"
#include "core/log_line.h"
#include "data/sensor_upkeep.h"
#include "devices/sensorlist_store.h"
#include "shared/request_builders.h"
#include "shared/segments.h"
#include "shared/txq.h"

namespace vorn::data {

namespace {

constexpr unsigned kFullQueueWaitSeconds = 3;
constexpr std::uint16_t kEventIntervalCommand = 1;

// The sensor's 4-character address text as sensorlist holds it; false for an unknown sensor or a
// damaged value (a line of 4 characters or fewer, or not hexadecimal).
bool read_address_text(const char *id, char (&address)[5]) {
  char line[128];
  if (!devices::get_first_line(line, sizeof line, "sensorlist.@%s[].ShortAddress", id)) return false;
  std::uint16_t short_address = 0;
  if (std::strlen(line) <= 4 || !shared::parse_address_text(reinterpret_cast<const std::uint8_t *>(line), &short_address))
    return false;
  std::memcpy(address, line, 4);
  address[4] = '\0';
  return true;
}

// After the daemon's shutdown the queue is marked for removal and no slot is ever freed again.
bool queue_abandoned() {
  shmid_ds info{};
  return shmctl(core::daemon_state.txq_segment_id, IPC_STAT, &info) != 0 || (info.shm_perm.mode & SHM_DEST) != 0;
}

// The first free slot, claimed; while all ten are busy, looks again every 3 seconds. Null only
// when the daemon is gone.
shared::TxqSlot *claim_slot_waiting(shared::TxqSegment *txq) {
  for (;;) {
    if (shared::TxqSlot *slot = shared::claim_txq_slot(txq)) return slot;
    std::fputs("TX Message Queue buffer was full!\n", stderr);
    if (queue_abandoned()) return nullptr;
    sleep(kFullQueueWaitSeconds);
  }
}

// The interval of a {"Key":"EventInterval","Value":N} element; false for any other element.
bool event_interval_of(const char *id, json_object *element, std::int32_t *interval) {
  json_object *key = nullptr, *value = nullptr;
  if (!json_object_object_get_ex(element, "Key", &key) || !json_object_is_type(key, json_type_string) ||
      std::strcmp(json_object_get_string(key), "EventInterval") != 0 ||
      !json_object_object_get_ex(element, "Value", &value))
    return false;
  std::int64_t number = json_object_get_int64(value);
  if (!json_object_is_type(value, json_type_int) || number < INT32_MIN || number > INT32_MAX) {
    std::printf("Retrieve 'EventInterval' for %s is not a 32-bit integer, ignored.\n", id);
    return false;
  }
  // Refused as the SetEventTimer command refuses it: the sensor would be sent a value it cannot use.
  if (const char *why = event_interval_refusal(number)) {
    std::printf("Retrieve 'EventInterval' %lld for %s is %s, ignored.\n", static_cast<long long>(number), id, why);
    return false;
  }
  *interval = static_cast<std::int32_t>(number);
  return true;
}

// The interval a settings body asks for: the last valid one of its "EventInterval" elements (one
// request per sensor, not two radio frames per element). False when it asks for none.
bool wanted_interval(const char *id, json_object *body, std::int32_t *interval) {
  int given = 0;
  const std::size_t count = json_object_array_length(body);
  for (std::size_t i = 0; i < count; ++i) {
    std::int32_t candidate = 0;
    if (!event_interval_of(id, json_object_array_get_idx(body, i), &candidate)) continue;
    *interval = candidate;
    ++given;
  }
  if (given > 1) std::printf("Retrieve for %s gave %d 'EventInterval' values: only the last, %d, is sent.\n", id, given, *interval);
  return given > 0;
}

}  // namespace

void handle_retrieved_message(const char *id, int type, json_object *body) {
  if (type != cloud::kSettingsMessage || !json_object_is_type(body, json_type_array)) return;
  if (!core::is_ext_address_text(id)) {
    std::printf("Retrieve ID(%.40s) is not a sensor id, dropped\n", id != nullptr ? id : "");
    return;
  }
  char address[5];
  if (!read_address_text(id, address)) return;

  shared::SegmentAttachment attachment(core::daemon_state.txq_segment_id);
  auto *txq = static_cast<shared::TxqSegment *>(attachment.address());
  std::int32_t interval = 0;
  if (wanted_interval(id, body, &interval)) {
    if (shared::TxqSlot *slot = claim_slot_waiting(txq)) {
      std::printf("%ld: Retrieve for update %s's 'EventInterval' to %d.\n", core::uptime_seconds(), id, interval);
      shared::build_set_sensor_record(slot->payload, address, kEventIntervalCommand, interval);
      shared::publish_txq_slot(slot, core::APP_SET_SENSOR_REQ);
    } else {
      std::printf("TX Message Queue is gone, 'EventInterval' of %s not sent.\n", id);
    }
  }
  if (!attachment.detach()) std::exit(1);
}

}  // namespace vorn::data
